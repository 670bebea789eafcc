#include "secrets.h"

#include <curl/curl.h>

#include <algorithm>

#include "diag/url_user_secret.h"
#include "route/url.h"

namespace kycurl {

namespace {

std::string Decode(const std::string& text) {
    int length = 0;
    char* decoded = curl_easy_unescape(nullptr, text.c_str(), static_cast<int>(text.size()), &length);
    if (!decoded) return text;
    std::string result(decoded, static_cast<size_t>(length));
    curl_free(decoded);
    return result;
}

}  // namespace

UrlCredentials SplitCredentials(const std::string& url) {
    UrlCredentials split;
    const kylibcurl::detail::Url parts = kylibcurl::detail::ParseUrl(url);
    if (parts.userPart().empty()) {
        split.url = url;
        return split;
    }
    const std::string userInfo = url.substr(parts.authorityPos, parts.hostPos - 1 - parts.authorityPos);
    split.url = url.substr(0, parts.authorityPos) + url.substr(parts.hostPos);
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

}  // namespace kycurl
