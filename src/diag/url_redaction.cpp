#include "diag/url_redaction.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "diag/credential_words.h"
#include "diag/log_text.h"
#include "diag/url_user_secret.h"

namespace kylibcurl::detail {

namespace {

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
