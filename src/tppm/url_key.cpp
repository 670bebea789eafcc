#include <string>
#include <utility>

#include "kylibcurl.h"
#include "tppm/url_split.h"

// A URL without "://" leaves every out-parameter as the caller had it.
bool KYLibCurl::GetUrlKey(std::string url, std::string& key, int& port, size_t& pathPos,
                          std::string& prefix) {
    kylibcurl::detail::UrlParts parts = kylibcurl::detail::SplitUrl(url);
    if (!parts.valid) return false;
    key = std::move(parts.key);
    port = parts.port;
    pathPos = parts.pathPos;
    prefix = std::move(parts.prefix);
    return true;
}
