// SplitUrl, and GetUrlKey through it, on arbitrary bytes. Properties: a URL without "://" has no parts, and
// GetUrlKey refuses it and leaves its out-parameters as they were; otherwise the host part ends at the first
// '/', '?' or '#', the user information runs to the last '@' before it, and the prefix, the user
// information, the key part as cut and the tail give the URL back; the key gets ":443" (https in any case)
// or ":80" exactly when the host part writes no port (a ':' inside an IPv6 literal's brackets is none), the
// port is the low 32 bits of what strtol reads after the port's ':', and GetUrlKey hands out exactly those
// parts.
#include <strings.h>

#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "fuzz_targets.h"
#include "kylibcurl.h"
#include "route/url.h"

namespace kyfuzz {
namespace {

using kylibcurl::detail::SplitUrl;
using kylibcurl::detail::UrlParts;

const char kUntouched[] = "untouched";
constexpr int kUntouchedPort = -7;
constexpr size_t kUntouchedPathPos = 12345;

void CheckNoParts(const UrlParts& parts) {
    KYFUZZ_CHECK(parts.prefix.empty());
    KYFUZZ_CHECK(parts.key.empty());
    KYFUZZ_CHECK(parts.port == 0);
    KYFUZZ_CHECK(parts.userInfo.empty());
    KYFUZZ_CHECK(parts.hostPos == 0);
    KYFUZZ_CHECK(parts.pathPos == 0);
}

void CheckParts(const std::string& url, const UrlParts& parts) {
    const size_t separator = url.find("://");
    KYFUZZ_CHECK(parts.prefix == url.substr(0, separator + 3));
    KYFUZZ_CHECK(parts.pathPos >= parts.prefix.size() && parts.pathPos <= url.size());
    KYFUZZ_CHECK(parts.pathPos == url.size() ||
                 std::string("/?#").find(url[parts.pathPos]) != std::string::npos);

    const std::string authority = url.substr(parts.prefix.size(), parts.pathPos - parts.prefix.size());
    KYFUZZ_CHECK(authority.find_first_of("/?#") == std::string::npos);
    const size_t at = authority.rfind('@');
    KYFUZZ_CHECK(parts.userInfo == (at == std::string::npos ? "" : authority.substr(0, at + 1)));
    KYFUZZ_CHECK(parts.hostPos == parts.prefix.size() + parts.userInfo.size());
    const std::string part = authority.substr(parts.userInfo.size());
    KYFUZZ_CHECK(part.find('@') == std::string::npos);
    KYFUZZ_CHECK(parts.prefix + parts.userInfo + part + url.substr(parts.pathPos) == url);

    const size_t close = part.empty() || part[0] != '[' ? std::string::npos : part.find(']');
    const size_t colon = part.find(':', close == std::string::npos ? 0 : close + 1);
    if (colon == std::string::npos) {
        const bool https = strcasecmp(parts.prefix.c_str(), "https://") == 0;
        const int defaultPort = https ? 443 : 80;
        KYFUZZ_CHECK(parts.key == part + ":" + std::to_string(defaultPort));
        KYFUZZ_CHECK(parts.port == defaultPort);
        return;
    }
    KYFUZZ_CHECK(parts.key == part);
    const long read = strtol(part.c_str() + colon + 1, nullptr, 10);
    KYFUZZ_CHECK(parts.port == static_cast<int>(static_cast<unsigned long>(read) & 0xFFFFFFFFu));
}

void CheckGetUrlKey(const std::string& url, const UrlParts& parts) {
    KYLibCurl session;
    std::string key = kUntouched;
    std::string prefix = kUntouched;
    int port = kUntouchedPort;
    size_t pathPos = kUntouchedPathPos;

    KYFUZZ_CHECK(session.GetUrlKey(url, key, port, pathPos, prefix) == parts.valid);
    if (!parts.valid) {
        KYFUZZ_CHECK(key == kUntouched);
        KYFUZZ_CHECK(port == kUntouchedPort);
        KYFUZZ_CHECK(pathPos == kUntouchedPathPos);
        KYFUZZ_CHECK(prefix == kUntouched);
        return;
    }
    KYFUZZ_CHECK(key == parts.key);
    KYFUZZ_CHECK(port == parts.port);
    KYFUZZ_CHECK(pathPos == parts.pathPos);
    KYFUZZ_CHECK(prefix == parts.prefix);
}

}  // namespace

int FuzzUrlKey(const uint8_t* data, size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);
    const UrlParts parts = SplitUrl(url);
    KYFUZZ_CHECK(parts.valid == (url.find("://") != std::string::npos));
    if (parts.valid)
        CheckParts(url, parts);
    else
        CheckNoParts(parts);
    CheckGetUrlKey(url, parts);
    return 0;
}

}  // namespace kyfuzz
