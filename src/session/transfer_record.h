// What the reply callbacks keep about the transfer their thread performs for a session, so that storing
// each piece of a reply costs the same however much came before it. The one perform step sets it up; a
// callback that finds none (a caller performing on the session's handle itself) stores the piece as it
// always did.
#ifndef KYLIBCURL_SESSION_TRANSFER_RECORD_H
#define KYLIBCURL_SESSION_TRANSFER_RECORD_H

#include <curl/curl.h>

#include <cstddef>

class KYLibCurl;

namespace kylibcurl::detail {

struct TransferRecord {
    const KYLibCurl* session = nullptr;
    curl_slist* linesHead = nullptr;  // m_respHeaders when linesTail was found: if it differs, find it anew
    curl_slist* linesTail = nullptr;  // the last reply header line
    size_t lineBytes = 0;             // header and trailer bytes received in this transfer
    size_t bodyStart = 0;             // m_respSize when the transfer began
    TransferRecord* outer = nullptr;  // a transfer this one runs inside (a caller's callback performing)
    // A part of the reply could not be stored (a body the buffer cannot hold, a header line that cannot be
    // kept, header lines beyond their cap): the callback stopped the transfer with CURLE_WRITE_ERROR, which
    // requests otherwise tolerate, so the performer learns here that the reply is incomplete.
    bool replyNotStored = false;
};

// The record of the transfer this thread performs for session, or null when there is none.
TransferRecord* CurrentTransfer(const KYLibCurl* session);

// Makes a record current on this thread for the life of the object.
class TransferScope {
  public:
    explicit TransferScope(const KYLibCurl& session);
    ~TransferScope();
    TransferScope(const TransferScope&) = delete;
    TransferScope& operator=(const TransferScope&) = delete;

    const TransferRecord& record() const { return m_record; }

  private:
    TransferRecord m_record;
};

}  // namespace kylibcurl::detail

#endif
