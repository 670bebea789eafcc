#include "secrets.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "diag/url_user_secret.h"

namespace kycurl {

namespace {

struct Authority {
    size_t start = 0;               // first byte after "scheme://" (0 for a URL without a scheme)
    size_t at = std::string::npos;  // the '@' ending the user information, npos when there is none
};

Authority FindAuthority(const std::string& url) {
    Authority authority;
    size_t scheme = url.find("://");
    authority.start = scheme == std::string::npos ? 0 : scheme + 3;
    size_t end = url.find_first_of("/?#", authority.start);
    std::string part =
        url.substr(authority.start, end == std::string::npos ? std::string::npos : end - authority.start);
    size_t at = part.rfind('@');
    if (at != std::string::npos) authority.at = authority.start + at;
    return authority;
}

std::string Decode(const std::string& text) {
    int length = 0;
    char* decoded = curl_easy_unescape(nullptr, text.c_str(), static_cast<int>(text.size()), &length);
    if (!decoded) return text;
    std::string result(decoded, static_cast<size_t>(length));
    curl_free(decoded);
    return result;
}

bool StartsWithNoCase(const std::string& text, size_t pos, const char* prefix) {
    return strncasecmp(text.c_str() + pos, prefix, strlen(prefix)) == 0;
}

}  // namespace

UrlCredentials SplitCredentials(const std::string& url) {
    UrlCredentials split;
    Authority authority = FindAuthority(url);
    if (authority.at == std::string::npos) {
        split.url = url;
        return split;
    }
    std::string userInfo = url.substr(authority.start, authority.at - authority.start);
    split.url = url.substr(0, authority.start) + url.substr(authority.at + 1);
    size_t colon = userInfo.find(':');
    split.hasUser = true;
    split.user = Decode(userInfo.substr(0, colon));
    if (colon != std::string::npos) {
        split.hasPassword = true;
        split.password = Decode(userInfo.substr(colon + 1));
    }
    return split;
}

// The library's own rule for a URL's user part, so that kycurl shows what the library's log shows.
std::string RedactUrl(const std::string& url) {
    size_t authorityEnd = 0;
    const kylibcurl::detail::Span secret = kylibcurl::detail::UserSecretSpan(url, authorityEnd);
    if (secret.end <= secret.begin) return url;
    return url.substr(0, secret.begin) + "***" + url.substr(secret.end);
}

std::string RedactUrlsInText(const std::string& text) {
    std::string out;
    size_t done = 0;
    for (size_t scheme = text.find("://"); scheme != std::string::npos; scheme = text.find("://", done)) {
        size_t start = text.find_last_of(" '\"", scheme);
        start = start == std::string::npos || start < done ? done : start + 1;
        size_t end = std::min(text.find_first_of(" '\"\r\n", scheme), text.size());
        out += text.substr(done, start - done) + RedactUrl(text.substr(start, end - start));
        done = end;
    }
    return out + text.substr(done);
}

void MaskCredentialHeaders(std::string& block) {
    for (size_t line = 0; line < block.size();) {
        size_t end = block.find('\n', line);
        if (end == std::string::npos) end = block.size();
        if (StartsWithNoCase(block, line, "authorization:") ||
            StartsWithNoCase(block, line, "proxy-authorization:")) {
            size_t value = block.find(':', line) + 1;
            while (value < end && block[value] == ' ') ++value;
            size_t word = block.find(' ', value);
            size_t secret = word != std::string::npos && word < end ? word + 1 : value;
            for (size_t i = secret; i < end && block[i] != '\r'; ++i) block[i] = '*';
        }
        line = end + 1;
    }
}

}  // namespace kycurl
