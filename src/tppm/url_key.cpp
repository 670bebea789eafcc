#include <cstdlib>
#include <string>

#include "FXString.h"
#include "kylibcurl.h"

// Cuts a URL into its scheme prefix, its cache key (host:port, port 80 when none is written), the port
// and the offset of its path. Only "://", '/' and ':' are looked for: no decoding, no case folding.
bool KYLibCurl::GetUrlKey(std::string url, std::string& key, int& port, size_t& pathPos,
                          std::string& prefix) {
    const size_t separator = url.find("://");
    if (separator == std::string::npos) return false;

    const size_t hostPos = separator + 3;
    pathPos = url.find('/', hostPos);
    if (pathPos == std::string::npos) pathPos = url.size();
    prefix.assign(url, 0, hostPos);
    key.assign(url, hostPos, pathPos - hostPos);

    const size_t colon = key.find(':');
    if (colon == std::string::npos) {
        port = 80;
        key += ":" + FXString::Format("%d", port);
        return true;
    }
    // Keep the low 32 bits of what strtol reads after the first ':' (0 when no digit follows).
    port = static_cast<int>(std::strtol(key.c_str() + colon + 1, nullptr, 10));
    return true;
}
