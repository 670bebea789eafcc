// The secret of a URL's user part, one rule for the library's log lines and kycurl's messages: the
// password after "user:", or the whole user part when it has no ':' ("scheme://TOKEN@host/", which libcurl
// sends as a credential all the same). Header-only, so that kycurl compiles the same rule.
#ifndef KYLIBCURL_DIAG_URL_USER_SECRET_H
#define KYLIBCURL_DIAG_URL_USER_SECRET_H

#include <cctype>
#include <cstddef>
#include <string>

#include "route/url.h"

namespace kylibcurl::detail {

inline bool AllDigits(const std::string& text, size_t begin, size_t end) {
    for (size_t pos = begin; pos < end; ++pos)
        if (!std::isdigit(static_cast<unsigned char>(text[pos]))) return false;
    return true;
}

inline size_t FirstOf(const std::string& url, const char* chars, size_t from) {
    const size_t pos = url.find_first_of(chars, from);
    return pos == std::string::npos ? url.size() : pos;
}

// A password holding '/', '?' or '#' ends the authority early (libcurl refuses such a URL, but the text is
// still the caller's secret): when the authority holds no '@' but a ':' that starts no port, the user part
// runs to the URL's last '@'.
inline Span UnescapedPasswordSpan(const std::string& url, size_t start, size_t& authorityEnd) {
    const size_t at = url.rfind('@');
    if (at == std::string::npos || at < authorityEnd) return Span{0, 0};
    // An IPv6 literal's colons are not the user part's.
    const size_t hostColons = url.compare(start, 1, "[") == 0 ? FirstOf(url, "]", start) : start;
    const size_t colon = url.find(':', hostColons);
    if (colon >= authorityEnd || AllDigits(url, colon + 1, authorityEnd)) return Span{0, 0};
    authorityEnd = FirstOf(url, "/?#", at);
    return Span{colon + 1, at};
}

// The user part's secret, empty when there is no user part, and where the authority ends. The user part
// ends at the last '@' before the first '/', '?' or '#', so a password may hold an unescaped '@'.
inline Span UserSecretSpan(const std::string& text, size_t& authorityEnd) {
    const Url url = ParseUrl(text);
    authorityEnd = url.pathPos;
    if (url.userPart().empty()) return UnescapedPasswordSpan(text, url.authorityPos, authorityEnd);
    const size_t at = url.hostPos - 1;
    const size_t colon = text.find(':', url.authorityPos);
    return colon < at ? Span{colon + 1, at} : Span{url.authorityPos, at};
}

}  // namespace kylibcurl::detail

#endif
