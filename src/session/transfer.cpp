#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_result.h"
#include "platform/globals.h"
#include "session/perform_step.h"

using kylibcurl::detail::CurlSucceeded;
using kylibcurl::detail::PerformOnce;
using kylibcurl::detail::PerformOutcome;

bool KYLibCurl::KYCurlSetUrl(const char* url) {
    constexpr char kTag[] = "KYLibCurl::KYCurlSetUrl";
    return CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_URL, url), kTag,
                         "failed to set curl option:[CURLOPT_URL] err:[%s]");
}

// A tolerated write error is judged by the status like a transfer that ended well.
bool KYLibCurl::KYCurlPostSubmitForm() {
    constexpr char kTag[] = "KYLibCurl::KYCurlPostSubmitForm";
    const PerformOutcome outcome = PerformOnce(*this);
    if (!outcome.WriteErrorTolerated() &&
        !CurlSucceeded(outcome.result, kTag, "curl_easy_perform failed err:[%s]"))
        return false;

    long status = 0;
    CurlWrapper::gCurlWrapper.Curl_easy_getinfo(m_curlHandle, CURLINFO_RESPONSE_CODE, &status);
    if (outcome.SucceededWith(status)) return true;
    m_dbg.DebugLvl(kTag, -1, "http resp is not 200 OK. http status code:[%ld]", status);
    return false;
}
