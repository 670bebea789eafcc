#include "request/routed_request.h"

#include <string>

#include "CurlWrapper.h"
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

namespace {

// The status line is the first reply byte a transfer counts: no header bytes, no reply at all.
bool NothingReceived(void* handle) {
    long headerBytes = -1;
    CurlWrapper::gCurlWrapper.Curl_easy_getinfo(handle, CURLINFO_HEADER_SIZE, &headerBytes);
    return headerBytes == 0;
}

}  // namespace

bool TunnelLooksStale(void* handle, CURLcode result) {
    switch (result) {
        case CURLE_COULDNT_CONNECT:
            return true;
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return NothingReceived(handle);
        default:
            return false;
    }
}

// A stale tunnel's cached prefix is dropped and a fresh tunnel is fetched. The key comes from the
// caller's url, under which the prefix was cached.
bool ReconnectRoutedUrl(KYLibCurl& session, const char* clientName, const char* url, std::string& outUrl) {
    LogSafely(2, [&] {
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
