#include "secrets.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cstring>

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

// A password holding an unescaped '/', '?' or '#' ends the authority early: libcurl refuses such a URL,
// but the text is still the user's secret. When the authority holds a ':' that starts no port, the user
// part is taken to run to the URL's last '@'; npos when it does not.
size_t UnescapedPasswordEnd(const std::string& url, size_t start) {
    size_t end = url.find_first_of("/?#", start);
    size_t at = url.rfind('@');
    if (end == std::string::npos || at == std::string::npos || at < end) return std::string::npos;
    size_t colon = url.find(':', start);
    if (colon >= end) return std::string::npos;
    bool port = std::all_of(url.begin() + static_cast<long>(colon) + 1, url.begin() + static_cast<long>(end),
                            [](char c) { return c >= '0' && c <= '9'; });
    return port ? std::string::npos : at;
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

std::string RedactUrl(const std::string& url) {
    Authority authority = FindAuthority(url);
    if (authority.at == std::string::npos) authority.at = UnescapedPasswordEnd(url, authority.start);
    if (authority.at == std::string::npos) return url;
    size_t colon = url.find(':', authority.start);
    if (colon == std::string::npos || colon > authority.at) return url;
    return url.substr(0, colon + 1) + "***" + url.substr(authority.at);
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
