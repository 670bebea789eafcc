#include <string>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_result.h"
#include "platform/globals.h"
#include "platform/no_throw.h"
#include "request/failure_log.h"
#include "request/request_steps.h"
#include "route/routed_request.h"
#include "session/reply.h"
#include "session/side_tables.h"

namespace kylibcurl::detail {
namespace {

// A stale tunnel is fetched afresh this many times at most.
constexpr int kMaxReconnects = 1;

// One request as the caller gave it, and the URL it was resolved to when routed.
struct DispatchCall {
    DispatchCall(KYLibCurl& session, const char* url, const void* data, size_t len, bool logFailure,
                 const char* clientName, bool useDynamicTppm)
        : session(session),
          url(url),
          data(data),
          len(len),
          logFailure(logFailure),
          clientName(clientName),
          useDynamicTppm(useDynamicTppm),
          route(session) {}

    KYLibCurl& session;
    const char* url;
    const void* data;
    size_t len;
    bool logFailure;
    const char* clientName;  // null for a direct request
    bool useDynamicTppm;
    RoutedUrl route;                     // unresolved unless routed
    bool bodyFromReader = false;         // the body comes from the caller's read callback
    bool resentOnlyWhenRefused = false;  // a POST or PATCH
    long status = 0;                     // the last status read, kept across attempts
};

// A null URL has nothing to route: it goes the direct way, where the transfer fails for want of a URL
// and the failure lines say so, instead of reaching the tunnel resolution, which takes strings.
bool IsRouted(const DispatchCall& call) { return call.clientName && call.url; }

bool ThroughTunnel(const DispatchCall& call) { return IsRouted(call) && call.route.tunnelled(); }

bool SetRequestUrl(DispatchCall& call) {
    if (!IsRouted(call)) return call.session.KYCurlSetUrl(call.url);
    return call.route.Resolve(call.clientName, call.url, call.useDynamicTppm);
}

bool InstallBody(DispatchCall& call, const RequestMethod& method) {
    switch (method.body) {
        case BodyStep::CallerBody:
            // Without a body pointer libcurl reads the body through the read callback.
            call.bodyFromReader = call.session.m_chunked || (!call.data && call.len > 0);
            return call.session.prepPost(call.data, call.len);
        case BodyStep::EmptyBody:
            return call.session.prepPost(nullptr, 0);
        case BodyStep::NoBody:
            break;
    }
    return true;
}

// A body of len bytes at no address: without a read callback of the caller's, which supplies them, libcurl
// would read them from its default source, standard input. A chunked body comes from the caller's read
// callback too, and data and len are not sent.
bool BodyIsMissing(const DispatchCall& call, const RequestMethod& method) {
    return method.sendsBody && !call.session.m_chunked && !call.data && call.len > 0 &&
           !HasCallerReadFunction(call.session);
}

// A POST or PATCH may act anew each time it arrives.
bool ResentOnlyWhenRefused(_http_req_type_ type) { return type == HTTP_REQ_POST || type == HTTP_REQ_PATCH; }

// A refused connection carried nothing, so any request may go out again. After a cut the request may have
// reached the server: a POST or PATCH is not sent again then, and neither is a body the caller's read
// callback gave, which cannot be read again. Other methods go out once more, a body from a pointer whole.
// A connection to itself reached no server, but may have read the caller's body: all but that body go out
// again.
bool CanBeSentAgain(const DispatchCall& call, CURLcode result) {
    if (result == CURLE_COULDNT_CONNECT) return true;
    if (call.bodyFromReader) return false;
    return !call.resentOnlyWhenRefused || ConnectedToItself(call.session.m_curlHandle);
}

// A stale tunnel is replaced on either route; a URL reached directly is never retried.
bool ShouldReconnect(const DispatchCall& call, CURLcode result, int reconnects) {
    return reconnects < kMaxReconnects && ThroughTunnel(call) &&
           TunnelLooksStale(call.session.m_curlHandle, result) && CanBeSentAgain(call, result);
}

// libcurl sends a request once more by itself when a kept connection it reused turns out dead before any
// reply byte. A POST or PATCH the reconnect sends again therefore goes out on a connection of its own:
// with the first attempt's own silent re-send it then reaches the server twice at most.
class FreshConnection {
  public:
    FreshConnection(void* handle, bool active) : m_handle(active ? handle : nullptr) {
        if (m_handle) CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_handle, CURLOPT_FRESH_CONNECT, 1L);
    }
    ~FreshConnection() {
        if (m_handle) CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_handle, CURLOPT_FRESH_CONNECT, 0L);
    }
    FreshConnection(const FreshConnection&) = delete;
    FreshConnection& operator=(const FreshConnection&) = delete;

  private:
    void* m_handle;
};

// The status of the transfer that just ran (0 when no reply arrived) belongs to this request.
void ReadStatus(DispatchCall& call) {
    CurlWrapper::gCurlWrapper.Curl_easy_getinfo(call.session.m_curlHandle, CURLINFO_RESPONSE_CODE,
                                                &call.status);
    call.session.m_httpRespCode = call.status;
}

bool JudgeTransfer(DispatchCall& call, const PerformOutcome& outcome) {
    KYLibCurl& session = call.session;
    size_t replyLen = 0;
    const char* reply = session.GetHttpResponse(replyLen, false);
    ReadStatus(call);
    if (outcome.SucceededWith(call.status)) return true;

    const char* shownUrl = call.route.shown().empty() ? call.url : call.route.shown().c_str();
    LogFailedTransfer({outcome.result, call.status, shownUrl, call.data, call.len, session.m_reqHeaders,
                       reply, replyLen, call.logFailure});
    if (const long pseudo = PseudoStatusFor(outcome.result)) session.m_httpRespCode = pseudo;
    return false;
}

bool PerformTransfer(DispatchCall& call) {
    for (int reconnects = 0;; ++reconnects) {
        const FreshConnection fresh(call.session.m_curlHandle, reconnects > 0 && call.resentOnlyWhenRefused);
        const PerformOutcome outcome = PerformOnce(call.session, ThroughTunnel(call));
        // A tolerated write error passes at once; the status that arrived is still this request's.
        if (outcome.WriteErrorTolerated()) {
            ReadStatus(call);
            m_dbg.DebugLvl(
                kDispatchTag, -1,
                "failed to send http request. err:[CURL_WRITE_ERROR] ErrorStr:[%s].  Ignoring this error "
                "and moving on.",
                CurlErrorText(outcome.result));
            return true;
        }
        if (!ShouldReconnect(call, outcome.result, reconnects)) return JudgeTransfer(call, outcome);
        if (!call.route.Reconnect(call.clientName, call.url, call.useDynamicTppm)) return false;
    }
}

// The steps of one request, in order.
bool Dispatch(DispatchCall& call, _http_req_type_ type, bool freeHeaderList) {
    KYLibCurl& session = call.session;
    // A request that fails without a reply of its own shows 0 (or 601/602), never the status before it.
    session.m_httpRespCode = 0;
    if (freeHeaderList) session.KYLibCurlFreeHttpHeaderList();
    const RequestMethod& method = RequestMethodFor(type);
    call.resentOnlyWhenRefused = ResentOnlyWhenRefused(type);
    if (BodyIsMissing(call, method)) {
        m_dbg.DebugLvl(kDispatchTag, -1, "refused to send a %s request: no body for len:[%zu]", method.text,
                       call.len);
        return false;
    }
    if (!SetRequestUrl(call)) return false;

    if (method.endsBeforeBody) return false;
    if (!InstallBody(call, method)) return false;
    session.m_reqType = type;

    const MethodTextGuard methodText(session.m_curlHandle, method);
    if (!InstallMethodOption(session.m_curlHandle, method)) return false;
    if (!session.KYLibCulrInitHttpHeaders()) return false;
    return PerformTransfer(call);
}

}  // namespace
}  // namespace kylibcurl::detail

bool KYLibCurl::KYLibCurlSendHttpReqInternal(_http_req_type_ type, const char* url, const void* data,
                                             size_t len, bool freeHeaderList, bool logFailure,
                                             const char* clientName, bool useDynamicTppm) {
    using kylibcurl::detail::UnlessOutOfMemory;
    kylibcurl::detail::ForgetTransferResult(*this);
    return UnlessOutOfMemory(kylibcurl::detail::kDispatchTag, false, [&] {
        kylibcurl::detail::DispatchCall call(*this, url, data, len, logFailure, clientName, useDynamicTppm);
        return kylibcurl::detail::Dispatch(call, type, freeHeaderList);
    });
}

// The entry points: each hands its request to the one dispatcher, with the switches it fixes.
bool KYLibCurl::KYLibCurlSendHttpReqLog(_http_req_type_ type, const std::string& url, const void* data,
                                        size_t len, bool freeHeaderList, bool logFailure,
                                        const char* clientName) {
    return KYLibCurlSendHttpReqInternal(type, url.c_str(), data, len, freeHeaderList, logFailure, clientName,
                                        false);
}

bool KYLibCurl::KYLibCurlSendHttpReqLog(_http_req_type_ type, const char* url, const void* data, size_t len,
                                        bool freeHeaderList, bool logFailure, const char* clientName) {
    return KYLibCurlSendHttpReqInternal(type, url, data, len, freeHeaderList, logFailure, clientName, false);
}

bool KYLibCurl::KYLibCurlSendHttpReq(_http_req_type_ type, const std::string& url, const void* data,
                                     size_t len, bool freeHeaderList, const char* clientName) {
    return KYLibCurlSendHttpReqInternal(type, url.c_str(), data, len, freeHeaderList, true, clientName,
                                        false);
}

bool KYLibCurl::KYLibCurlSendHttpReq(_http_req_type_ type, const char* url, const void* data, size_t len,
                                     bool freeHeaderList, const char* clientName) {
    return KYLibCurlSendHttpReqInternal(type, url, data, len, freeHeaderList, true, clientName, false);
}

bool KYLibCurl::KYLibCurlSendHttpReq2(_http_req_type_ type, const char* url, const void* data, size_t len,
                                      bool freeHeaderList, const char* clientName, bool useDynamicTppm) {
    return KYLibCurlSendHttpReqInternal(type, url, data, len, freeHeaderList, true, clientName,
                                        useDynamicTppm);
}
