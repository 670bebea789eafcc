#include "request/routed_request.h"

#include <string>

#include "diag/log_text.h"
#include "diag/url_redaction.h"
#include "kylibcurl.h"
#include "platform/file_objects.h"
#include "request/dispatch_tag.h"
#include "tppm/tppm_cache.h"

namespace kylibcurl::detail {

bool ResolveRoutedUrl(KYLibCurl& session, const char* clientName, const char* url, bool useDynamicTppm,
                      std::string& outUrl) {
    if (!session.getTPPMUrl(clientName, url, outUrl, useDynamicTppm)) return false;
    return session.KYCurlSetUrl(outUrl.c_str());
}

// A refused dynamic TPPM URL is taken as a stale tunnel: its cached prefix is dropped and a fresh tunnel
// is fetched. The key comes from the caller's url, under which the prefix was cached.
bool ReconnectRoutedUrl(KYLibCurl& session, const char* clientName, const char* url, std::string& outUrl) {
    LogSafely([&] {
        m_dbg.DebugLvl(
            kDispatchTag, 2,
            "Unable to connect to dynamic tppm url [%s], refetching tppm url for [%s] and retrying",
            LoggedUrl(outUrl).c_str(), LoggedUrl(url).c_str());
    });
    ForgetTunnel(session, url);
    if (!session.getTPPMUrl(clientName, url, outUrl, true)) return false;
    return session.KYCurlSetUrl(outUrl.c_str());
}

}  // namespace kylibcurl::detail
