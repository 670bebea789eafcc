#include "tppm/tppm_cache.h"

#include <map>
#include <string>

#include "kylibcurl.h"
#include "platform/file_objects.h"
#include "platform/scoped_lock.h"
#include "tppm/url_split.h"

using kylibcurl::detail::ScopedLock;
using kylibcurl::detail::SplitUrl;
using kylibcurl::detail::UrlParts;

namespace {

using TppmUrlMap = std::map<std::string, std::string>;

constexpr char kTag[] = "TppmUrlMapInfo";

// A miss leaves value as the caller had it.
void GetCachedPrefix(const TppmUrlMap& map, const std::string& key, std::string& value) {
    const auto entry = map.find(key);
    if (entry == map.end()) return;
    value = entry->second;
    m_dbg.DebugLvl(kTag, 4, "Key: [%s] retrieved from cache with value [%s]", key.c_str(), value.c_str());
}

void AddCachedPrefix(TppmUrlMap& map, const std::string& key, const std::string& value) {
    map[key] = value;
    m_dbg.DebugLvl(kTag, -1, "Key:[%s] added to cache", key.c_str());
    m_dbg.DebugLvl(kTag, 4, "value [%s] added to cache", value.c_str());
}

void RemoveCachedPrefix(TppmUrlMap& map, const std::string& key) {
    map.erase(key);
    m_dbg.DebugLvl(kTag, -1, "Key:[%s] removed from cache", key.c_str());
}

}  // namespace

// The process-wide tunnel cache: URL key (host:port) to the TPPM URL prefix of a tunnel set up for it.
// Each operation takes g_handlerLock for the map access and its log line only.
bool KYLibCurl::TppmUrlMapInfo(std::string url, std::string& value, TPPM_CACHE_OPTYPE op) {
    // Built on first use, so it is destroyed before the lock and the logger built at load.
    static TppmUrlMap tppmUrlsMap;

    // A URL without "://" has no key; it is passed over rather than shared under an empty key.
    const UrlParts parts = SplitUrl(url);
    if (!parts.valid) return true;
    const std::string& key = parts.key;

    const ScopedLock guard(g_handlerLock);
    switch (op) {
        case TPPM_CACHE_GET:
            GetCachedPrefix(tppmUrlsMap, key, value);
            break;
        case TPPM_CACHE_ADD:
            AddCachedPrefix(tppmUrlsMap, key, value);
            break;
        case TPPM_CACHE_REMOVE:
            RemoveCachedPrefix(tppmUrlsMap, key);
            break;
        default:
            break;
    }
    return true;
}

namespace kylibcurl::detail {

void ForgetTunnel(KYLibCurl& session, const std::string& url) {
    std::string unused;  // a remove does not read the value
    session.TppmUrlMapInfo(url, unused, KYLibCurl::TPPM_CACHE_REMOVE);
}

}  // namespace kylibcurl::detail
