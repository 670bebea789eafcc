#include "tppm/tppm_cache.h"

#include <map>
#include <string>

#include "diag/log_text.h"
#include "diag/url_redaction.h"
#include "kylibcurl.h"
#include "platform/globals.h"
#include "platform/scoped_lock.h"
#include "tppm/url_split.h"

using kylibcurl::detail::BoundedText;
using kylibcurl::detail::LoggedUrl;
using kylibcurl::detail::LogSafely;
using kylibcurl::detail::ScopedLock;
using kylibcurl::detail::SplitUrl;
using kylibcurl::detail::UrlParts;
using kylibcurl::detail::UrlPartWithoutSecrets;

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

bool KYLibCurl::TppmUrlMapInfo(std::string url, std::string& value, TPPM_CACHE_OPTYPE op) {
    // A URL without "://" has no key; it is passed over rather than shared under an empty key.
    const UrlParts parts = SplitUrl(url);
    if (parts.valid) kylibcurl::detail::TunnelCacheOperation(url, parts, value, op);
    return true;
}

namespace kylibcurl::detail {

void ForgetTunnel(KYLibCurl& session, const std::string& url) {
    std::string unused;  // a remove does not read the value
    session.TppmUrlMapInfo(url, unused, KYLibCurl::TPPM_CACHE_REMOVE);
}

}  // namespace kylibcurl::detail
