#include "diag/sent_credentials.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <string_view>

#include "diag/credential_words.h"
#include "diag/log_text.h"

namespace kylibcurl::detail {

namespace {

// Header names whose values are credentials although they hold no credential word.
constexpr const char* kCredentialHeaders[] = {"authorization", "proxy-authorization", "cookie"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsNameByte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; }

bool SameNoCase(std::string_view text, const char* word) {
    return text.size() == strlen(word) && strncasecmp(text.data(), word, text.size()) == 0;
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool IsCredentialHeader(std::string_view name) {
    for (const char* header : kCredentialHeaders)
        if (SameNoCase(name, header)) return true;
    return HoldsCredentialWord(name.data(), name.size());
}

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

void AddHeaderLineSecrets(std::string_view line, std::vector<std::string>& secrets) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view name = Trimmed(line.substr(0, colon));
    if (!IsCredentialHeader(name)) return;
    const std::string_view value = Trimmed(line.substr(colon + 1));
    if (SameNoCase(name, "cookie")) {
        AddSecret(value, secrets);
        return AddCookieValues(value, secrets);
    }
    // "Scheme credential": the scheme word is no secret and stays in sight.
    const size_t blank = value.find_first_of(" \t");
    AddSecret(blank == std::string_view::npos ? value : value.substr(blank), secrets);
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

bool IsBase64Byte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/'; }

// A Basic credential: padded base64 of "user:password".
bool IsBasicCredential(std::string_view token) {
    if (token.empty() || token.size() % 4 != 0) return false;
    unsigned bits = 0;
    int count = 0;
    for (const char c : token) {
        if (!IsBase64Byte(c)) return false;  // the padding, too: no ':' came before it
        const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        bits = (bits << 6) | static_cast<unsigned>(strchr(digits, c) - digits);
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

}  // namespace kylibcurl::detail
