#include "request/url_redaction.h"

namespace kylibcurl::detail {

std::string UrlWithoutPassword(const std::string& url) {
    // The user part sits in the authority: after the scheme's "://" (libcurl also takes URLs without a
    // scheme) and before the first '/', '?' or '#'.
    const size_t schemeEnd = url.find("://");
    const size_t authorityStart = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
    size_t authorityEnd = url.find_first_of("/?#", authorityStart);
    if (authorityEnd == std::string::npos) authorityEnd = url.size();
    if (authorityEnd == authorityStart) return url;

    // The last '@' ends the user part, so a password holding an unescaped '@' is withheld whole.
    const size_t at = url.rfind('@', authorityEnd - 1);
    if (at == std::string::npos || at < authorityStart) return url;
    const size_t colon = url.find(':', authorityStart);
    if (colon == std::string::npos || colon + 1 >= at) return url;

    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

}  // namespace kylibcurl::detail
