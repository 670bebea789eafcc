#include "diag/credential_hiding.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "diag/log_text.h"
#include "diag/url_user_secret.h"
#include "platform/header_white_space.h"

namespace kylibcurl::detail {

namespace {

// "api_token", "access_token" and the like hold "token"; "passwd" is not a prefix of "password".
constexpr const char* kCredentialWords[] = {
    "password", "passwd",  "passphrase", "pwd",         "secret",     "token",
    "apikey",   "api_key", "api-key",    "private_key", "credential", "authorization",
};

bool WordAt(const char* text, size_t length, size_t pos) {
    for (const char* word : kCredentialWords) {
        const size_t size = std::strlen(word);
        if (size <= length - pos && strncasecmp(text + pos, word, size) == 0) return true;
    }
    return false;
}

// Every word starts with one of these letters, so most bytes are passed over at one comparison.
bool MayStartWord(char c) {
    switch (std::tolower(static_cast<unsigned char>(c))) {
        case 'a':
        case 'c':
        case 'p':
        case 's':
        case 't':
            return true;
        default:
            return false;
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool HoldsCredentialWord(const char* text, size_t length) {
    if (!text) return false;
    for (size_t pos = 0; pos < length; ++pos)
        if (MayStartWord(text[pos]) && WordAt(text, length, pos)) return true;
    return false;
}

std::string PercentDecoded(const char* text, size_t length, bool plusIsSpace) {
    std::string decoded;
    decoded.reserve(length);
    for (size_t pos = 0; pos < length; ++pos) {
        const char c = text[pos];
        const int high = c == '%' && pos + 2 < length ? HexValue(text[pos + 1]) : -1;
        const int low = high >= 0 ? HexValue(text[pos + 2]) : -1;
        if (low >= 0) {
            decoded += static_cast<char>(high * 16 + low);
            pos += 2;
        } else {
            decoded += plusIsSpace && c == '+' ? ' ' : c;
        }
    }
    return decoded;
}

namespace {

void AddValue(BodyCredentials& found, const char* value, size_t length) {
    if (length == 0) return;
    if (length > kLogTextLimit || found.values.size() >= kMaxSecrets) {
        found.valuesKnown = false;
        return;
    }
    found.values.emplace_back(value, length);
    std::string decoded = PercentDecoded(value, length, true);
    if (decoded != found.values.back()) found.values.push_back(std::move(decoded));
}

// One "name=value" field of a form.
void ReadField(BodyCredentials& found, const char* field, size_t length) {
    const char* equals = static_cast<const char*>(std::memchr(field, '=', length));
    const size_t nameLength = equals ? static_cast<size_t>(equals - field) : length;
    const bool named = HoldsCredentialWord(field, nameLength);
    if (!equals) {
        if (named) found.valuesKnown = false;
        return;
    }
    const char* value = equals + 1;
    const size_t valueLength = length - nameLength - 1;
    if (named) {
        AddValue(found, value, valueLength);
    } else if (HoldsCredentialWord(value, valueLength)) {
        found.valuesKnown = false;  // a credential inside a value: where it ends is unknown
    }
}

}  // namespace

BodyCredentials FindBodyCredentials(const char* body, size_t length) {
    BodyCredentials found;
    found.carries = HoldsCredentialWord(body, length);
    if (!found.carries) return found;

    const char* end = body + length;
    for (const char* field = body; field <= end;) {
        const char* amp = static_cast<const char*>(std::memchr(field, '&', static_cast<size_t>(end - field)));
        const char* fieldEnd = amp ? amp : end;
        ReadField(found, field, static_cast<size_t>(fieldEnd - field));
        if (!amp) break;
        field = amp + 1;
    }
    return found;
}

namespace {

bool IsCredentialHeader(std::string_view name) {
    return IsNamedCredentialHeader(name) || HoldsCredentialWord(name.data(), name.size());
}

bool IsNameByte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; }

void AddSecret(std::string_view value, std::vector<std::string>& secrets) {
    value = Trimmed(value);
    if (!value.empty()) secrets.emplace_back(value);
}

void AddCookieValues(std::string_view cookies, std::vector<std::string>& secrets) {
    while (!cookies.empty()) {
        const size_t end = std::min(cookies.find(';'), cookies.size());
        const std::string_view cookie = cookies.substr(0, end);
        const size_t equals = cookie.find('=');
        if (equals != std::string_view::npos) AddSecret(cookie.substr(equals + 1), secrets);
        cookies.remove_prefix(std::min(end + 1, cookies.size()));
    }
}

void AddHeaderLineSecrets(std::string_view text, std::vector<std::string>& secrets) {
    HeaderLine line;
    if (!SplitHeaderLine(text, line) || !IsCredentialHeader(line.name)) return;
    AddSecret(CredentialOf(line), secrets);
    if (SameNoCase(line.name, "cookie")) AddCookieValues(line.value, secrets);
}

// The value of a credential header named at text[pos], from begin to end; false when no such name
// stands there.
bool HeaderValueAt(const std::string& text, size_t pos, size_t& begin, size_t& end) {
    if (pos > 0 && IsNameByte(text[pos - 1])) return false;
    for (const char* header : kCredentialHeaders) {
        const size_t size = strlen(header);
        if (strncasecmp(text.c_str() + pos, header, size) != 0) continue;
        size_t at = pos + size;
        const bool quoted = at < text.size() && text[at] == '"';
        if (quoted) ++at;
        while (at < text.size() && IsBlank(text[at])) ++at;
        if (at >= text.size() || text[at] != ':') continue;
        ++at;
        while (at < text.size() && IsBlank(text[at])) ++at;
        if (quoted && at < text.size() && text[at] == '"') ++at;
        begin = at;
        if (quoted) {
            end = std::min(text.find('"', begin), text.size());
        } else {
            end = std::min(text.find_first_of("\r\n", begin), text.size());
            // An escaped line end (an echo inside a quoted text) ends the value too.
            end = std::min(end, std::min(text.find("\\r", begin), text.find("\\n", begin)));
        }
        // An authorization keeps its scheme word in sight: "Basic ***".
        const bool hasScheme = strcmp(header, "cookie") != 0;
        const size_t blank = text.find_first_of(" \t", begin);
        if (hasScheme && blank < end) begin = blank + 1;
        return end > begin;
    }
    return false;
}

bool IsTokenByte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || strchr("-._~+/", c); }

constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsBase64Byte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/'; }

// A Basic credential: padded base64 of "user:password".
bool IsBasicCredential(std::string_view token) {
    if (token.empty() || token.size() % 4 != 0) return false;
    unsigned bits = 0;
    int count = 0;
    for (const char c : token) {
        if (!IsBase64Byte(c)) return false;  // the padding, too: no ':' came before it
        bits = (bits << 6) | static_cast<unsigned>(strchr(kBase64Digits, c) - kBase64Digits);
        count += 6;
        if (count >= 8) {
            count -= 8;
            if (static_cast<char>((bits >> count) & 0xFF) == ':') return true;
        }
    }
    return false;
}

// The credential after a scheme word at text[pos] ("Basic dXNlcjpwdw==", "Bearer abc"), hidden from
// begin to end; false when none stands there. A Bearer challenge's parameters (Bearer realm="x") are
// not a token.
bool SchemeTokenAt(const std::string& text, size_t pos, size_t& begin, size_t& end) {
    if (pos > 0 && IsNameByte(text[pos - 1])) return false;
    const bool basic = strncasecmp(text.c_str() + pos, "basic", 5) == 0;
    const bool bearer = !basic && strncasecmp(text.c_str() + pos, "bearer", 6) == 0;
    if (!basic && !bearer) return false;
    size_t at = pos + (basic ? 5 : 6);
    if (at >= text.size() || !IsBlank(text[at])) return false;
    while (at < text.size() && IsBlank(text[at])) ++at;
    begin = at;
    while (at < text.size() && IsTokenByte(text[at])) ++at;
    while (at < text.size() && text[at] == '=') ++at;
    end = at;
    if (end == begin) return false;
    if (basic) return IsBasicCredential(std::string_view(text).substr(begin, end - begin));
    return !(end < text.size() && text[end - 1] == '=' && (text[end] == '"' || IsTokenByte(text[end])));
}

// Every header name and scheme word above starts with one of these letters.
bool MayStartName(char c) {
    const int lower = std::tolower(static_cast<unsigned char>(c));
    return lower == 'a' || lower == 'b' || lower == 'c' || lower == 'p';
}

}  // namespace

std::vector<std::string> HeaderLineSecrets(const curl_slist* lines) {
    std::vector<std::string> secrets;
    for (; lines; lines = lines->next)
        if (lines->data) AddHeaderLineSecrets(lines->data, secrets);
    return secrets;
}

std::string WithoutSentCredentials(std::string text) {
    std::string shown;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t begin = 0;
        size_t end = 0;
        if (MayStartName(text[pos]) &&
            (HeaderValueAt(text, pos, begin, end) || SchemeTokenAt(text, pos, begin, end))) {
            shown.append(text, pos, begin - pos);
            shown += kHidden;
            pos = end;
            continue;
        }
        shown += text[pos++];
    }
    return shown;
}

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
    std::string text;
    for (size_t pos = 0; pos < bytes.size(); pos += 3) {
        const size_t count = std::min<size_t>(3, bytes.size() - pos);
        unsigned group = 0;
        for (size_t i = 0; i < 3; ++i)
            group = group << 8 | (i < count ? static_cast<unsigned char>(bytes[pos + i]) : 0u);
        for (size_t i = 0; i < 4; ++i)
            text += i <= count ? kBase64Digits[(group >> (18 - 6 * i)) & 0x3F] : '=';
    }
    return text;
}

// The user part as a Basic authorization header carries it, which an error page may echo: libcurl decodes
// the URL's escapes before it encodes "user:password" (with an empty password when there is none).
void AddBasicCredentials(const std::string& url, const Span& secret, std::vector<std::string>& secrets) {
    const size_t start = ParseUrl(url).authorityPos;
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
