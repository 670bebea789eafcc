#include "route/tunnel_cache.h"

#include <dlfcn.h>

#include <cstdlib>
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

constexpr char kTag[] = "TppmUrlMapInfo";

// The key as a line shows it, with the URL's secrets hidden where a malformed URL lets them reach into its
// host part.
std::string LoggedKey(const std::string& url, const UrlParts& parts) {
    std::string shown = UrlPartWithoutSecrets(url, parts.hostPos, parts.pathPos);
    shown.append(parts.key, parts.pathPos - parts.hostPos, std::string::npos);  // the default port, if any
    return BoundedText(shown);
}

// A miss leaves value as the caller had it.
void GetCachedPrefix(const TppmUrlMap& map, const std::string& url, const UrlParts& parts,
                     std::string& value) {
    const auto entry = map.find(parts.key);
    if (entry == map.end()) return;
    value = entry->second;
    LogSafely(4, [&] {
        m_dbg.DebugLvl(kTag, 4, "Key: [%s] retrieved from cache with value [%s]",
                       LoggedKey(url, parts).c_str(), LoggedUrl(value).c_str());
    });
}

void AddCachedPrefix(TppmUrlMap& map, const std::string& url, const UrlParts& parts,
                     const std::string& value) {
    map[parts.key] = value;
    LogSafely(-1,
              [&] { m_dbg.DebugLvl(kTag, -1, "Key:[%s] added to cache", LoggedKey(url, parts).c_str()); });
    LogSafely(4, [&] { m_dbg.DebugLvl(kTag, 4, "value [%s] added to cache", LoggedUrl(value).c_str()); });
}

void RemoveCachedPrefix(TppmUrlMap& map, const std::string& url, const UrlParts& parts) {
    map.erase(parts.key);
    LogSafely(
        -1, [&] { m_dbg.DebugLvl(kTag, -1, "Key:[%s] removed from cache", LoggedKey(url, parts).c_str()); });
}

}  // namespace

namespace kylibcurl::detail {

// The process-wide tunnel cache: URL key (host:port) to the TPPM URL prefix of a tunnel set up for it.
// Each operation takes g_handlerLock for the map access and its log line only.
void TunnelCacheOperation(const std::string& url, const UrlParts& parts, std::string& value,
                          KYLibCurl::TPPM_CACHE_OPTYPE op) {
    // Built on first use, so it is destroyed before the lock and the logger built at load.
    static TppmUrlMap tppmUrlsMap;

    const ScopedLock guard(g_handlerLock);
    switch (op) {
        case KYLibCurl::TPPM_CACHE_GET:
            GetCachedPrefix(tppmUrlsMap, url, parts, value);
            break;
        case KYLibCurl::TPPM_CACHE_ADD:
            AddCachedPrefix(tppmUrlsMap, url, parts, value);
            break;
        case KYLibCurl::TPPM_CACHE_REMOVE:
            RemoveCachedPrefix(tppmUrlsMap, url, parts);
            break;
        default:
            break;
    }
}

}  // namespace kylibcurl::detail

// False only when memory ran out; the cache and value are then as they were.
bool KYLibCurl::TppmUrlMapInfo(std::string url, std::string& value, TPPM_CACHE_OPTYPE op) {
    return kylibcurl::detail::UnlessOutOfMemory("TppmUrlMapInfo", false, [&] {
        // A URL without "://" has no key; it is passed over rather than shared under an empty key.
        const UrlParts parts = SplitUrl(url);
        if (parts.valid) kylibcurl::detail::TunnelCacheOperation(url, parts, value, op);
        return true;
    });
}

// A URL without "://" leaves every out-parameter as the caller had it.
bool KYLibCurl::GetUrlKey(std::string url, std::string& key, int& port, size_t& pathPos,
                          std::string& prefix) {
    return kylibcurl::detail::UnlessOutOfMemory("KYLibCurl::GetUrlKey", false, [&] {
        kylibcurl::detail::UrlParts parts = kylibcurl::detail::SplitUrl(url);
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

// The port at the end of a prefix "<scheme>127.0.0.1:<port>"; 0 when it ends otherwise.
int PrefixPort(const std::string& prefix) {
    const size_t colon = prefix.rfind(':');
    if (colon == std::string::npos || colon + 1 == prefix.size()) return 0;
    char* end = nullptr;
    const long port = strtol(prefix.c_str() + colon + 1, &end, 10);
    return *end == '\0' && port > 0 && port <= 65535 ? static_cast<int>(port) : 0;
}

// Looked up while the library loads, before any thread of the process can use it: a lookup made on first use
// could be under way in another thread at fork(), and the child would wait for it for ever.
const TunnelStateCall g_tunnelState = FindTunnelStateCall();

}  // namespace

namespace kylibcurl::detail {

void ForgetTunnel(KYLibCurl& session, const std::string& url) {
    std::string unused;  // a remove does not read the value
    session.TppmUrlMapInfo(url, unused, KYLibCurl::TPPM_CACHE_REMOVE);
}

void DropGoneTunnel(KYLibCurl& session, const std::string& url, const std::string& tunnelName, int port,
                    std::string& prefix) {
    const TunnelStateCall tunnelState = g_tunnelState;
    if (!tunnelState || prefix.empty()) return;
    const int localPort = PrefixPort(prefix);
    if (localPort == 0 || tunnelState(localPort, tunnelName.c_str(), port) != KYFW_TUNNEL_GONE) return;
    ForgetTunnel(session, url);
    prefix.clear();
}

}  // namespace kylibcurl::detail
