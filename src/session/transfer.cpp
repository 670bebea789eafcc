#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_result.h"
#include "platform/file_objects.h"
#include "session/reply_growth.h"

using kylibcurl::detail::CurlSucceeded;
using kylibcurl::detail::TakeReplyGrowthFailed;

bool KYLibCurl::KYCurlSetUrl(const char* url) {
    constexpr char kTag[] = "KYLibCurl::KYCurlSetUrl";
    return CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_URL, url), kTag,
                         "failed to set curl option:[CURLOPT_URL] err:[%s]");
}

// A write error is tolerated, since a caller's own write callback may stop a transfer on purpose, unless
// the session's own buffer could not hold the body: then the reply is incomplete.
bool KYLibCurl::KYCurlPostSubmitForm() {
    constexpr char kTag[] = "KYLibCurl::KYCurlPostSubmitForm";
    TakeReplyGrowthFailed(this);  // drop a stale note from a transfer performed elsewhere
    CURLcode res = CurlWrapper::gCurlWrapper.Curl_easy_perform(m_curlHandle);
    bool truncated = TakeReplyGrowthFailed(this);
    if (res != CURLE_OK && (res != CURLE_WRITE_ERROR || truncated))
        return CurlSucceeded(res, kTag, "curl_easy_perform failed err:[%s]");

    long status = 0;
    CurlWrapper::gCurlWrapper.Curl_easy_getinfo(m_curlHandle, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 200 && status <= 299) return true;
    m_dbg.DebugLvl(kTag, -1, "http resp is not 200 OK. http status code:[%ld]", status);
    return false;
}
