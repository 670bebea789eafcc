#include <string>

#include "kylibcurl.h"
#include "platform/globals.h"
#include "tppm/tppm_cache.h"

using kylibcurl::detail::ForgetTunnel;

// Finds out with real requests whether the client answers by the dynamic TPPM route (tried first when
// useDynamicTppm is true on entry) or by the ordinary routed path. useDynamicTppm reports the route
// that answered, and keeps its value when neither did.
bool KYLibCurl::KYLibCurlDynamiceTppmCheck(const std::string& url, const std::string& clientName,
                                           bool& useDynamicTppm) {
    constexpr char kTag[] = "KYLibCurlDynamiceTppmCheck";
    bool answered = false;
    const char* const body = "";

    // A dynamic attempt must set up a fresh tunnel, not reuse one that may be stale.
    ForgetTunnel(*this, url);

    if (useDynamicTppm &&
        KYLibCurlSendHttpReq2(HTTP_REQ_POST, url.c_str(), body, 0, false, clientName.c_str(), true)) {
        answered = true;
        // The probe's tunnel is not left behind for later requests.
        ForgetTunnel(*this, url);
    } else if (KYLibCurlSendHttpReq(HTTP_REQ_POST, url.c_str(), body, 0, false, clientName.c_str())) {
        useDynamicTppm = false;
        answered = true;
    }

    m_dbg.DebugLvl(kTag, 4, "useDynamicTppm [%s]", useDynamicTppm ? "true" : "false");
    return answered;
}
