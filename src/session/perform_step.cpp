#include "session/perform_step.h"

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "session/reply_growth.h"

namespace kylibcurl::detail {

PerformOutcome PerformOnce(KYLibCurl& session) {
    TakeReplyGrowthFailed(&session);
    const CURLcode result = CurlWrapper::gCurlWrapper.Curl_easy_perform(session.m_curlHandle);
    return {result, TakeReplyGrowthFailed(&session)};
}

}  // namespace kylibcurl::detail
