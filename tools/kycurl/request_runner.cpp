#include "request_runner.h"

#include <cstring>
#include <string>

#include "kylibcurl.h"
#include "output.h"
#include "progress.h"
#include "request_body.h"
#include "session_setup.h"

namespace kycurl {

namespace {

// libcurl's own words for the failure, when it left any: its error buffer is cleared by each transfer.
std::string TransferDetail(const KYLibCurl& session) {
    std::string detail(session.m_errorBuf, strnlen(session.m_errorBuf, sizeof session.m_errorBuf));
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r')) detail.pop_back();
    return detail;
}

std::string RequestName(const Options& o) {
    return std::string(KYLibCurl::GetHttpReqTypeString(o.method)) + " " + o.url;
}

std::string FailureLine(const KYLibCurl& session, const Options& o) {
    std::string line = RequestName(o) + " failed: " + DescribeStatus(session.m_httpRespCode);
    std::string detail = TransferDetail(session);
    if (detail.empty() && session.m_httpRespCode == 0) detail = "see -v for the library's log";
    if (!detail.empty()) line += " (" + detail + ")";
    return line;
}

Reply TakeReply(KYLibCurl& session) {
    Reply reply;
    session.GetHttpResponseHeaders(nullptr, reply.headerLines);
    reply.body = session.GetHttpResponse(reply.bodySize, false);
    return reply;
}

// The session is fresh: fresh lists would only drop the -H lines already appended.
bool Send(KYLibCurl& session, const Options& o, const std::string& body) {
    const char* client = o.hasClient ? o.clientName.c_str() : nullptr;
    return session.KYLibCurlSendHttpReq2(o.method, o.url.c_str(), body.c_str(), body.size(), false, client,
                                         o.dynamicTppm);
}

// A failed request still shows what came back (an error page, say), like a successful one.
int Report(KYLibCurl& session, const Options& o, bool succeeded, bool bodyComplete) {
    Reply reply = TakeReply(session);
    std::string error;
    if ((succeeded || reply.received()) && !WriteReply(reply, o.includeHeaders, o.outputFile, error)) {
        PrintError(error);
        return kExitLocalFile;
    }
    if (succeeded && bodyComplete) return kExitOk;
    if (o.showsErrors()) {
        PrintError(succeeded ? RequestName(o) + " failed: the reply body could not be stored in full"
                             : FailureLine(session, o));
    }
    return kExitRequestFailed;
}

}  // namespace

int RunRequest(const Options& o) {
    std::string body;
    std::string error;
    if (!BuildBody(o.dataItems, body, error)) {
        PrintError(error);
        return kExitLocalFile;
    }
    KYLibCurl session;
    ProgressMeter meter(o.showsProgress());
    ProgressWriter writer(session, meter);
    ChunkedBodyReader reader(body);
    if (!ConfigureSession(session, o, error) || !writer.Install() ||
        (session.m_chunked && !reader.Install(session))) {
        if (error.empty()) error = "the session refused the body callbacks";
        PrintError(error);
        return kExitRequestFailed;
    }
    session.m_errorBuf[0] = '\0';
    bool succeeded = Send(session, o, body);
    meter.Finish();
    return Report(session, o, succeeded, !writer.storeFailed());
}

int RunProbe(const Options& o) {
    KYLibCurl session;
    std::string error;
    if (!ConfigureSession(session, o, error)) {
        PrintError(error);
        return kExitRequestFailed;
    }
    bool useDynamicTppm = true;
    if (!session.KYLibCurlDynamiceTppmCheck(o.url, o.clientName, useDynamicTppm)) {
        if (o.showsErrors()) {
            PrintError("probe of " + o.url + " through client '" + o.clientName +
                       "' failed: neither route answered (last: " + DescribeStatus(session.m_httpRespCode) +
                       ")");
        }
        return kExitRequestFailed;
    }
    printf("%s route answered\n", useDynamicTppm ? "dynamic TPPM" : "ordinary");
    return kExitOk;
}

}  // namespace kycurl
