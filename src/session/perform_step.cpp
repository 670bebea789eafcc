#include "session/perform_step.h"

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "session/reply_buffer.h"
#include "session/transfer_record.h"

namespace kylibcurl::detail {

PerformOutcome PerformOnce(KYLibCurl& session) {
    PerformOutcome outcome{CURLE_OK, false};
    {
        const TransferScope transfer(session);
        outcome.result = CurlWrapper::gCurlWrapper.Curl_easy_perform(session.m_curlHandle);
        outcome.replyNotStored = transfer.record().replyNotStored;
    }
    TrimReplyBuffer(session);
    return outcome;
}

}  // namespace kylibcurl::detail
