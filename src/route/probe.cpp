#include <string>

#include "kylibcurl.h"
#include "platform/globals.h"
#include "platform/no_throw.h"
#include "route/tunnel_cache.h"
#include "route/url.h"

using namespace kylibcurl::detail;

namespace {

constexpr char kProbeTag[] = "KYLibCurlDynamiceTppmCheck";

bool Probe(KYLibCurl& session, const std::string& url, const std::string& clientName, bool& useDynamicTppm) {
    bool answered = false;
    const char* const body = "";
    const Url split = ParseUrl(url);

    // A dynamic attempt must set up a fresh tunnel, not reuse one that may be stale.
    ForgetTunnel(split);

    if (useDynamicTppm &&
        session.KYLibCurlSendHttpReq2(HTTP_REQ_POST, url.c_str(), body, 0, false, clientName.c_str(), true)) {
        answered = true;
        // The probe's tunnel is not left behind for later requests.
        ForgetTunnel(split);
    } else if (session.KYLibCurlSendHttpReq(HTTP_REQ_POST, url.c_str(), body, 0, false, clientName.c_str())) {
        useDynamicTppm = false;
        answered = true;
    }

    m_dbg.DebugLvl(kProbeTag, 4, "useDynamicTppm [%s]", useDynamicTppm ? "true" : "false");
    return answered;
}

}  // namespace

// Finds out with real requests whether the client answers by the dynamic TPPM route (tried first when
// useDynamicTppm is true on entry) or by the ordinary routed path. useDynamicTppm reports the route
// that answered, and keeps its value when neither did.
bool KYLibCurl::KYLibCurlDynamiceTppmCheck(const std::string& url, const std::string& clientName,
                                           bool& useDynamicTppm) {
    return UnlessOutOfMemory(kProbeTag, false, [&] { return Probe(*this, url, clientName, useDynamicTppm); });
}
