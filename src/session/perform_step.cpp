#include "session/perform_step.h"

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "session/reply_buffer.h"
#include "session/reply_note.h"
#include "session/transfer_record.h"

namespace kylibcurl::detail {

PerformOutcome PerformOnce(KYLibCurl& session) {
    TakeReplyNotStored(&session);
    CURLcode result = CURLE_OK;
    {
        const TransferScope transfer(session);
        result = CurlWrapper::gCurlWrapper.Curl_easy_perform(session.m_curlHandle);
    }
    const bool notStored = TakeReplyNotStored(&session);
    TrimReplyBuffer(session);
    return {result, notStored};
}

}  // namespace kylibcurl::detail
