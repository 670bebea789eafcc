#include "session/perform_step.h"

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "session/reply_buffer.h"
#include "session/reply_lines_end.h"
#include "session/shared_connections.h"
#include "session/transfer_record.h"

namespace kylibcurl::detail {

PerformOutcome PerformOnce(KYLibCurl& session) {
    PerformOutcome outcome{CURLE_OK, false};
    {
        const SharedConnectionsScope shared(session.m_curlHandle);
        const TransferScope transfer(session);
        outcome.result = CurlWrapper::gCurlWrapper.Curl_easy_perform(session.m_curlHandle);
        const TransferRecord& record = transfer.record();
        outcome.replyNotStored = record.replyNotStored;
        // The next transfer appends where this one left the list.
        if (record.linesTail && record.linesHead == session.m_respHeaders)
            NoteReplyLinesEnd(session, record.linesHead, record.linesTail);
    }
    TrimReplyBuffer(session);
    return outcome;
}

}  // namespace kylibcurl::detail
