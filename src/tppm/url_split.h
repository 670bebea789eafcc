// A URL cut into the pieces TPPM routing works with: the scheme prefix a tunnel URL keeps, the cache key,
// the port a tunnel is set up for and the offset of the path a tunnel URL keeps. Only "://", '/' and ':'
// are looked for: no decoding, no case folding. Inline, so that the fuzz targets can call it too.
#ifndef KYLIBCURL_TPPM_URL_SPLIT_H
#define KYLIBCURL_TPPM_URL_SPLIT_H

#include <cstddef>
#include <cstdlib>
#include <string>

#include "FXString.h"

namespace kylibcurl::detail {

struct UrlParts {
    bool valid = false;  // the URL holds "://"; without it the other parts stay empty and 0
    std::string prefix;  // the URL through its first "://"
    std::string key;     // what lies between "://" and the path, ":80" appended when it holds no ':'
    int port = 0;        // 80 when no ':' is written, else the low 32 bits of strtol after the first ':'
    size_t pathPos = 0;  // the first '/' after "://", or the URL's length
};

inline UrlParts SplitUrl(const std::string& url) {
    UrlParts parts;
    const size_t separator = url.find("://");
    if (separator == std::string::npos) return parts;

    const size_t hostPos = separator + 3;
    parts.valid = true;
    parts.pathPos = url.find('/', hostPos);
    if (parts.pathPos == std::string::npos) parts.pathPos = url.size();
    parts.prefix.assign(url, 0, hostPos);
    parts.key.assign(url, hostPos, parts.pathPos - hostPos);

    const size_t colon = parts.key.find(':');
    if (colon == std::string::npos) {
        parts.port = 80;
        parts.key += ":" + FXString::Format("%d", parts.port);
        return parts;
    }
    parts.port = static_cast<int>(std::strtol(parts.key.c_str() + colon + 1, nullptr, 10));
    return parts;
}

}  // namespace kylibcurl::detail

#endif
