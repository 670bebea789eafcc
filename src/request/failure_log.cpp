#include "request/failure_log.h"

#include <cstring>
#include <string>

#include "platform/curl_result.h"
#include "platform/file_objects.h"
#include "request/dispatch_tag.h"
#include "request/url_redaction.h"

namespace kylibcurl::detail {

namespace {

constexpr char kNull[] = "_null_";

// The body read as text, but never past the caller's len bytes: a body need not be zero-terminated.
std::string BodyText(const void* data, size_t len) {
    if (!data || len == 0) return std::string();
    const char* text = static_cast<const char*>(data);
    return std::string(text, strnlen(text, len));
}

bool CarriesCredentials(const std::string& body) {
    return !body.empty() &&
           (body.find("password") != std::string::npos || body.find("api_token") != std::string::npos);
}

}  // namespace

void LogFailedTransfer(const FailedTransfer& failure) {
    if (failure.logFailure) m_dbg.DebugLvl(kDispatchTag, -1, "failed to send http request");

    const std::string body = BodyText(failure.data, failure.len);
    const std::string url = UrlWithoutPassword(failure.url ? failure.url : "(null)");
    const char* curlErr = CurlErrorText(failure.result);
    const char* serverResp = failure.replyLen != 0 ? failure.reply : kNull;
    const int respSize = static_cast<int>(failure.replyLen);

    if (CarriesCredentials(body)) {
        m_dbg.DebugLvl(kDispatchTag, -1,
                       "curl-err:[%s] http-resp:[%ld] url:[%s] server-resp:[%s] resp-size:[%d]", curlErr,
                       failure.status, url.c_str(), serverResp, respSize);
        return;
    }
    if (!failure.logFailure) return;

    const char* reqData = failure.len != 0 && failure.data ? body.c_str() : kNull;
    m_dbg.DebugLvl(
        kDispatchTag, -1,
        "curl-err:[%s] http-resp:[%ld] url:[%s] req-data:[%s] len:[%d] server-resp:[%s] resp-size:[%d]",
        curlErr, failure.status, url.c_str(), reqData, static_cast<int>(failure.len), serverResp, respSize);
}

}  // namespace kylibcurl::detail
