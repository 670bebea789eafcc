#include "route/tunnel_cache.h"

#include <dlfcn.h>

#include <map>
#include <string>
#include <utility>

#include "KyFwClient.h"
#include "diag/credential_hiding.h"
#include "diag/log_text.h"
#include "kylibcurl.h"
#include "platform/globals.h"
#include "platform/no_throw.h"
#include "platform/optional_call.h"
#include "platform/scoped_lock.h"
#include "route/url.h"

using namespace kylibcurl::detail;

namespace {

using TppmUrlMap = std::map<std::string, std::string>;

constexpr char kCacheTag[] = "TppmUrlMapInfo";

// The key as a line shows it, with the URL's secrets hidden where a malformed URL lets them reach into its
// host part.
std::string LoggedKey(const Url& url, const std::string& key) {
    std::string shown = UrlPartWithoutSecrets(std::string(url.text), url.hostPos, url.pathPos);
    shown.append(key, url.pathPos - url.hostPos, std::string::npos);  // the default port, if any
    return BoundedText(shown);
}

// A miss leaves value as the caller had it.
void GetCachedPrefix(const TppmUrlMap& map, const Url& url, const std::string& key, std::string& value) {
    const auto entry = map.find(key);
    if (entry == map.end()) return;
    value = entry->second;
    LogSafely(4, [&] {
        m_dbg.DebugLvl(kCacheTag, 4, "Key: [%s] retrieved from cache with value [%s]",
                       LoggedKey(url, key).c_str(), LoggedUrl(value).c_str());
    });
}

void AddCachedPrefix(TppmUrlMap& map, const Url& url, const std::string& key, const std::string& value) {
    map[key] = value;
    LogSafely(-1,
              [&] { m_dbg.DebugLvl(kCacheTag, -1, "Key:[%s] added to cache", LoggedKey(url, key).c_str()); });
    LogSafely(4,
              [&] { m_dbg.DebugLvl(kCacheTag, 4, "value [%s] added to cache", LoggedUrl(value).c_str()); });
}

void RemoveCachedPrefix(TppmUrlMap& map, const Url& url, const std::string& key) {
    map.erase(key);
    LogSafely(-1, [&] {
        m_dbg.DebugLvl(kCacheTag, -1, "Key:[%s] removed from cache", LoggedKey(url, key).c_str());
    });
}

}  // namespace

namespace kylibcurl::detail {

// Each operation takes g_handlerLock for the map access and its log line only.
void TunnelCacheOperation(const Url& url, std::string& value, KYLibCurl::TPPM_CACHE_OPTYPE op) {
    // Built on first use, so it is destroyed before the lock and the logger built at load.
    static TppmUrlMap tppmUrlsMap;

    const std::string key = UrlKey(url);
    const ScopedLock guard(g_handlerLock);
    switch (op) {
        case KYLibCurl::TPPM_CACHE_GET:
            GetCachedPrefix(tppmUrlsMap, url, key, value);
            break;
        case KYLibCurl::TPPM_CACHE_ADD:
            AddCachedPrefix(tppmUrlsMap, url, key, value);
            break;
        case KYLibCurl::TPPM_CACHE_REMOVE:
            RemoveCachedPrefix(tppmUrlsMap, url, key);
            break;
        default:
            break;
    }
}

}  // namespace kylibcurl::detail

// False only when memory ran out; the cache and value are then as they were.
bool KYLibCurl::TppmUrlMapInfo(std::string url, std::string& value, TPPM_CACHE_OPTYPE op) {
    return UnlessOutOfMemory(kCacheTag, false, [&] {
        // A URL without "://" has no key; it is passed over rather than shared under an empty key.
        const Url split = ParseUrl(url);
        if (split.hasScheme) TunnelCacheOperation(split, value, op);
        return true;
    });
}

// A URL without "://" leaves every out-parameter as the caller had it.
bool KYLibCurl::GetUrlKey(std::string url, std::string& key, int& port, size_t& pathPos,
                          std::string& prefix) {
    return UnlessOutOfMemory("KYLibCurl::GetUrlKey", false, [&] {
        UrlParts parts = SplitUrl(url);
        if (!parts.valid) return false;
        key = std::move(parts.key);
        port = parts.port;
        pathPos = parts.pathPos;
        prefix = std::move(parts.prefix);
        return true;
    });
}

namespace {

using TunnelStateCall = int (*)(int, const char*, int);

// Looked up by name in the library that holds the firewall client, so that this library still loads and
// works beside a firewall client without the call.
TunnelStateCall FindTunnelStateCall() {
    void* found = FindCallBeside(reinterpret_cast<void*>(&KyFwClient::setupTPPM), "KyFwTunnelState");
    if (!found) found = dlsym(RTLD_DEFAULT, "KyFwTunnelState");
    return reinterpret_cast<TunnelStateCall>(found);
}

// Looked up while the library loads, before any thread of the process can use it: a lookup made on first use
// could be under way in another thread at fork(), and the child would wait for it for ever.
const TunnelStateCall g_tunnelState = FindTunnelStateCall();

}  // namespace

namespace kylibcurl::detail {

// A forget that fails for want of memory leaves the entry, and the caller's request goes on.
void ForgetTunnel(const Url& url) {
    if (!url.hasScheme) return;
    UnlessOutOfMemory(kCacheTag, false, [&] {
        std::string unused;  // a remove does not read the value
        TunnelCacheOperation(url, unused, KYLibCurl::TPPM_CACHE_REMOVE);
        return true;
    });
}

Tunnel TunnelOf(const std::string& prefix) {
    const Url split = ParseUrl(prefix);
    Tunnel tunnel;
    tunnel.authority = split.hasScheme ? std::string(split.hostAndPort()) : prefix;
    // The port is asked about only where the prefix ends with it ("<scheme>127.0.0.1:<port>").
    const Port port = ParsePort(split.portText());
    if (split.hasPort() && split.rest().empty() && port.usable) tunnel.port = port.number;
    return tunnel;
}

std::string LiveTunnelPrefix(const Url& url, const std::string& tunnelName) {
    std::string prefix;
    TunnelCacheOperation(url, prefix, KYLibCurl::TPPM_CACHE_GET);
    const TunnelStateCall tunnelState = g_tunnelState;
    if (!tunnelState || prefix.empty()) return prefix;
    const int localPort = TunnelOf(prefix).port;
    if (localPort == 0 || tunnelState(localPort, tunnelName.c_str(), url.port()) != KYFW_TUNNEL_GONE)
        return prefix;
    ForgetTunnel(url);
    return std::string();
}

}  // namespace kylibcurl::detail
