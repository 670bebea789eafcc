#include "diag/url_redaction.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "diag/credential_words.h"
#include "diag/log_text.h"

namespace kylibcurl::detail {

namespace {

struct Span {
    size_t begin;
    size_t end;
};

bool AllDigits(const std::string& text, size_t begin, size_t end) {
    for (size_t pos = begin; pos < end; ++pos)
        if (!std::isdigit(static_cast<unsigned char>(text[pos]))) return false;
    return true;
}

// Where the authority starts: after the scheme's "://" (libcurl also takes URLs without a scheme).
size_t AuthorityStart(const std::string& url) {
    const size_t schemeEnd = url.find("://");
    return schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
}

size_t FirstOf(const std::string& url, const char* chars, size_t from) {
    const size_t pos = url.find_first_of(chars, from);
    return pos == std::string::npos ? url.size() : pos;
}

// A password holding '/', '?' or '#' ends the authority early (libcurl refuses such a URL, but the text is
// still the caller's secret): when the authority holds no '@' but a ':' that starts no port, the user part
// runs to the URL's last '@'.
Span UnescapedPasswordSpan(const std::string& url, size_t start, size_t& authorityEnd) {
    const size_t at = url.rfind('@');
    if (at == std::string::npos || at < authorityEnd) return Span{0, 0};
    // An IPv6 literal's colons are not the user part's.
    const size_t hostColons = url.compare(start, 1, "[") == 0 ? FirstOf(url, "]", start) : start;
    const size_t colon = url.find(':', hostColons);
    if (colon >= authorityEnd || AllDigits(url, colon + 1, authorityEnd)) return Span{0, 0};
    authorityEnd = FirstOf(url, "/?#", at);
    return Span{colon + 1, at};
}

// The secret of the user part, and where the authority ends: the password after "user:", or the whole
// user part when it has no ':' ("scheme://TOKEN@host/", which libcurl sends as a credential all the same);
// empty when there is no user part. The user part ends at the last '@' before the first '/', '?' or '#',
// so a password may hold an unescaped '@'.
Span UserSecretSpan(const std::string& url, size_t& authorityEnd) {
    const size_t start = AuthorityStart(url);
    authorityEnd = FirstOf(url, "/?#", start);
    const size_t at = authorityEnd > start ? url.rfind('@', authorityEnd - 1) : std::string::npos;
    if (at == std::string::npos || at < start) return UnescapedPasswordSpan(url, start, authorityEnd);
    const size_t colon = url.find(':', start);
    return colon < at ? Span{colon + 1, at} : Span{start, at};
}

// A parameter named exactly "pass" or "key" (in any letter case) holds a credential, although the words
// are too short to look for inside other names ("monkey", "passenger").
bool IsCredentialName(const std::string& name) {
    if (HoldsCredentialWord(name.data(), name.size())) return true;
    for (const char* word : {"pass", "key"})
        if (name.size() == strlen(word) && strncasecmp(name.data(), word, name.size()) == 0) return true;
    return false;
}

// Values of "name=value" fields, joined by '&' or ';', in url[begin, end) whose names mark a credential.
void AddParameterSpans(const std::string& url, size_t begin, size_t end, std::vector<Span>& spans) {
    for (size_t field = begin; field < end;) {
        size_t fieldEnd = url.find_first_of("&;", field);
        if (fieldEnd == std::string::npos || fieldEnd > end) fieldEnd = end;
        // Within the field only: a long query of fields without '=' must not be searched again and again.
        const std::string_view text(url.data() + field, fieldEnd - field);
        const size_t equals = text.find('=');
        if (equals != std::string_view::npos && equals + 1 < text.size()) {
            const std::string name = PercentDecoded(text.data(), equals, true);
            if (IsCredentialName(name)) spans.push_back(Span{field + equals + 1, fieldEnd});
        }
        field = fieldEnd + 1;
    }
}

// Every secret of the URL, in order, not overlapping.
std::vector<Span> SecretSpans(const std::string& url) {
    std::vector<Span> spans;
    size_t authorityEnd = 0;
    const Span user = UserSecretSpan(url, authorityEnd);
    if (user.end > user.begin) spans.push_back(user);

    const size_t fragment = url.find('#', authorityEnd);
    const size_t queryEnd = fragment == std::string::npos ? url.size() : fragment;
    const size_t query = url.find('?', authorityEnd);
    if (query != std::string::npos && query < queryEnd) AddParameterSpans(url, query + 1, queryEnd, spans);
    if (fragment != std::string::npos) AddParameterSpans(url, fragment + 1, url.size(), spans);
    return spans;
}

std::string Base64(const std::string& bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t pos = 0; pos < bytes.size(); pos += 3) {
        const size_t count = std::min<size_t>(3, bytes.size() - pos);
        unsigned group = 0;
        for (size_t i = 0; i < 3; ++i)
            group = group << 8 | (i < count ? static_cast<unsigned char>(bytes[pos + i]) : 0u);
        for (size_t i = 0; i < 4; ++i) text += i <= count ? kDigits[(group >> (18 - 6 * i)) & 0x3F] : '=';
    }
    return text;
}

// The user part as a Basic authorization header carries it, which an error page may echo: libcurl decodes
// the URL's escapes before it encodes "user:password" (with an empty password when there is none).
void AddBasicCredentials(const std::string& url, const Span& secret, std::vector<std::string>& secrets) {
    const size_t start = AuthorityStart(url);
    const bool userOnly = secret.begin == start;
    const size_t userEnd = userOnly ? secret.end : secret.begin - 1;
    const std::string user = PercentDecoded(url.data() + start, userEnd - start, false);
    const std::string word =
        userOnly ? std::string()
                 : PercentDecoded(url.data() + secret.begin, secret.end - secret.begin, false);
    secrets.push_back(Base64(user + ":" + word));
}

}  // namespace

std::string UrlPartWithoutSecrets(const std::string& url, size_t begin, size_t end) {
    end = std::min(end, url.size());
    std::string shown;
    size_t pos = begin;
    for (const Span& span : SecretSpans(url)) {
        if (span.end <= pos || span.begin >= end) continue;
        shown.append(url, pos, span.begin > pos ? span.begin - pos : 0);
        shown += kHidden;
        pos = std::min(span.end, end);
    }
    if (pos < end) shown.append(url, pos, end - pos);
    return shown;
}

std::string UrlWithoutSecrets(const std::string& url) { return UrlPartWithoutSecrets(url, 0, url.size()); }

std::vector<std::string> UrlSecrets(const std::string& url) {
    std::vector<std::string> secrets;
    size_t authorityEnd = 0;
    const Span user = UserSecretSpan(url, authorityEnd);
    if (user.end > user.begin) AddBasicCredentials(url, user, secrets);
    for (const Span& span : SecretSpans(url)) {
        secrets.push_back(url.substr(span.begin, span.end - span.begin));
        std::string decoded = PercentDecoded(secrets.back().data(), secrets.back().size(), true);
        if (decoded != secrets.back()) secrets.push_back(std::move(decoded));
    }
    return secrets;
}

std::string LoggedUrl(const std::string& url) { return BoundedText(UrlWithoutSecrets(url)); }

}  // namespace kylibcurl::detail
