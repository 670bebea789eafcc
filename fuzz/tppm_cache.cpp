// The tunnel-cache operation on arbitrary URLs, prefixes and operation numbers, against a model map.
// Properties: a get finds what the last add under the same key stored, and leaves the value alone on a
// miss; an add replaces; a remove drops; an operation number outside 1 to 3 changes nothing; a URL
// without a key is passed over; every operation answers true. The cache is process-wide, so each input
// removes what it stored and checks that nothing stays behind.
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "EvDebug.h"
#include "byte_reader.h"
#include "fuzz_check.h"
#include "fuzz_targets.h"
#include "kylibcurl.h"
#include "route/url.h"

namespace kyfuzz {
namespace {

using kylibcurl::detail::SplitUrl;
using kylibcurl::detail::UrlParts;

const char kMissed[] = "value before a miss";

class CacheModel {
  public:
    explicit CacheModel(KYLibCurl& session) : m_session(session) {}

    void Get(const std::string& url) {
        std::string value = kMissed;
        KYFUZZ_CHECK(m_session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_GET));
        const UrlParts parts = SplitUrl(url);
        const auto entry = parts.valid ? m_entries.find(parts.key) : m_entries.end();
        KYFUZZ_CHECK(value == (entry == m_entries.end() ? kMissed : entry->second));
    }

    void Add(const std::string& url, const std::string& prefix) {
        std::string value = prefix;
        KYFUZZ_CHECK(m_session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_ADD));
        KYFUZZ_CHECK(value == prefix);
        const UrlParts parts = SplitUrl(url);
        if (parts.valid) m_entries[parts.key] = prefix;
        m_urls.push_back(url);
    }

    void Remove(const std::string& url) {
        std::string value = "unused";
        KYFUZZ_CHECK(m_session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_REMOVE));
        KYFUZZ_CHECK(value == "unused");
        const UrlParts parts = SplitUrl(url);
        if (parts.valid) m_entries.erase(parts.key);
    }

    void Other(const std::string& url, int32_t op, const std::string& prefix) {
        std::string value = prefix;
        KYFUZZ_CHECK(m_session.TppmUrlMapInfo(url, value, static_cast<KYLibCurl::TPPM_CACHE_OPTYPE>(op)));
        KYFUZZ_CHECK(value == prefix);
    }

    // Leaves the process-wide cache as the input found it.
    void Clear() {
        for (const std::string& url : m_urls) Remove(url);
        for (const std::string& url : m_urls) Get(url);
        KYFUZZ_CHECK(m_entries.empty());
    }

  private:
    KYLibCurl& m_session;
    std::map<std::string, std::string> m_entries;
    std::vector<std::string> m_urls;
};

int32_t OutsideOperation(int32_t op) {
    return (op >= KYLibCurl::TPPM_CACHE_GET && op <= KYLibCurl::TPPM_CACHE_REMOVE) ? 0 : op;
}

}  // namespace

int FuzzTppmCache(const uint8_t* data, size_t size) {
    // The cache logs each add and remove; the lines are formatted but not kept.
    static const bool quiet = (EvDebug::SetDestination("/dev/null"), true);
    (void)quiet;

    KYLibCurl session;
    CacheModel model(session);
    ByteReader in(data, size);
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const uint8_t op = in.Byte();
        const std::string url = in.ShortString();
        switch (op % 4) {
            case 0:
                model.Get(url);
                break;
            case 1:
                model.Add(url, in.ShortString());
                break;
            case 2:
                model.Remove(url);
                break;
            default: {
                const int32_t other = OutsideOperation(in.Int());
                model.Other(url, other, in.ShortString());
                break;
            }
        }
    }
    model.Clear();
    return 0;
}

}  // namespace kyfuzz
