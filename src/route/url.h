// A URL cut into the pieces TPPM routing works with: the scheme prefix a tunnel URL keeps, the user
// information it keeps, the cache key (host and port), the port a tunnel is set up for and the offset of
// the path a tunnel URL keeps. The host part ends at the first '/', '?' or '#' after "://"; user
// information runs to its last '@'; a bracketed IPv6 literal is one host. No decoding, no case folding.
// Inline, so that the fuzz targets can call it too.
#ifndef KYLIBCURL_ROUTE_URL_H
#define KYLIBCURL_ROUTE_URL_H

#include <strings.h>

#include <cstddef>
#include <cstdlib>
#include <string>

namespace kylibcurl::detail {

struct UrlParts {
    bool valid = false;    // the URL holds "://"; without it the other parts stay empty and 0
    std::string prefix;    // the URL through its first "://"
    std::string userInfo;  // the user information with its '@', empty when the URL has none
    std::string key;       // host and port as written; ":443" (https) or ":80" appended when no port is
    int port = 0;          // the default port when none is written, else the low 32 bits of strtol
    size_t hostPos = 0;    // where the host begins, after the user information
    size_t pathPos = 0;    // the first '/', '?' or '#' after "://", or the URL's length
};

inline bool IsHttpsPrefix(const std::string& prefix) { return strcasecmp(prefix.c_str(), "https://") == 0; }

// 443 for the https scheme in any letter case, 80 for every other.
inline int DefaultPortFor(const std::string& prefix) { return IsHttpsPrefix(prefix) ? 443 : 80; }

// Where the port text's ':' is in hostPart ("host:81", "[::1]:81"), or npos when no port is written.
// Inside a bracketed IPv6 literal a ':' belongs to the host.
inline size_t PortSeparator(const std::string& hostPart) {
    size_t from = 0;
    if (!hostPart.empty() && hostPart[0] == '[') {
        const size_t close = hostPart.find(']');
        if (close != std::string::npos) from = close + 1;
    }
    return hostPart.find(':', from);
}

inline UrlParts SplitUrl(const std::string& url) {
    UrlParts parts;
    const size_t separator = url.find("://");
    if (separator == std::string::npos) return parts;

    const size_t authorityPos = separator + 3;
    parts.valid = true;
    parts.pathPos = url.find_first_of("/?#", authorityPos);
    if (parts.pathPos == std::string::npos) parts.pathPos = url.size();
    parts.prefix.assign(url, 0, authorityPos);

    const size_t at = url.rfind('@', parts.pathPos == 0 ? 0 : parts.pathPos - 1);
    parts.hostPos = at != std::string::npos && at >= authorityPos ? at + 1 : authorityPos;
    parts.userInfo.assign(url, authorityPos, parts.hostPos - authorityPos);
    parts.key.assign(url, parts.hostPos, parts.pathPos - parts.hostPos);

    const size_t colon = PortSeparator(parts.key);
    if (colon == std::string::npos) {
        parts.port = DefaultPortFor(parts.prefix);
        parts.key += ":" + std::to_string(parts.port);
        return parts;
    }
    parts.port = static_cast<int>(std::strtol(parts.key.c_str() + colon + 1, nullptr, 10));
    return parts;
}

}  // namespace kylibcurl::detail

#endif
