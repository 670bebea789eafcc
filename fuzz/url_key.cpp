// GetUrlKey on arbitrary bytes. Properties: a URL without "://" is refused and the out-parameters keep
// their values; otherwise the prefix, the key part as cut and the tail give the URL back, the key part
// holds no '/', the key gets ":80" exactly when the part holds no ':', and the port is the low 32 bits of
// what strtol reads after the first ':'.
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "fuzz_targets.h"
#include "kylibcurl.h"

namespace kyfuzz {
namespace {

const char kUntouched[] = "untouched";
constexpr int kUntouchedPort = -7;
constexpr size_t kUntouchedPathPos = 12345;

void CheckRefused(const std::string& key, int port, size_t pathPos, const std::string& prefix) {
    KYFUZZ_CHECK(key == kUntouched);
    KYFUZZ_CHECK(port == kUntouchedPort);
    KYFUZZ_CHECK(pathPos == kUntouchedPathPos);
    KYFUZZ_CHECK(prefix == kUntouched);
}

void CheckSplit(const std::string& url, const std::string& key, int port, size_t pathPos,
                const std::string& prefix) {
    const size_t separator = url.find("://");
    KYFUZZ_CHECK(prefix == url.substr(0, separator + 3));
    KYFUZZ_CHECK(pathPos >= prefix.size() && pathPos <= url.size());
    KYFUZZ_CHECK(pathPos == url.size() || url[pathPos] == '/');

    const std::string part = url.substr(prefix.size(), pathPos - prefix.size());
    KYFUZZ_CHECK(part.find('/') == std::string::npos);
    KYFUZZ_CHECK(prefix + part + url.substr(pathPos) == url);

    const size_t colon = part.find(':');
    if (colon == std::string::npos) {
        KYFUZZ_CHECK(key == part + ":80");
        KYFUZZ_CHECK(port == 80);
        return;
    }
    KYFUZZ_CHECK(key == part);
    const long read = strtol(part.c_str() + colon + 1, nullptr, 10);
    KYFUZZ_CHECK(port == static_cast<int>(static_cast<unsigned long>(read) & 0xFFFFFFFFu));
}

}  // namespace

int FuzzUrlKey(const uint8_t* data, size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);
    KYLibCurl session;
    std::string key = kUntouched;
    std::string prefix = kUntouched;
    int port = kUntouchedPort;
    size_t pathPos = kUntouchedPathPos;

    const bool split = session.GetUrlKey(url, key, port, pathPos, prefix);
    KYFUZZ_CHECK(split == (url.find("://") != std::string::npos));
    if (split)
        CheckSplit(url, key, port, pathPos, prefix);
    else
        CheckRefused(key, port, pathPos, prefix);
    return 0;
}

}  // namespace kyfuzz
