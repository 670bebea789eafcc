// A session's reply, from one perform to the stored bytes: the perform step and the rule that judges it,
// the record the reply callbacks keep of the transfer their thread performs, and how the body buffer grows.
#ifndef KYLIBCURL_SESSION_REPLY_H
#define KYLIBCURL_SESSION_REPLY_H

#include <curl/curl.h>

#include <cstddef>

class KYLibCurl;

namespace kylibcurl::detail {

// What the reply callbacks keep about the transfer their thread performs for a session, so that storing
// each piece of a reply costs the same however much came before it. The one perform step sets it up; a
// callback that finds none (a caller performing on the session's handle itself) stores the piece as it
// always did.
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

// How the reply body buffer grows. It keeps its contract (a C-allocator block holding the body and one
// zero byte, released with free) while a body costs O(its size) to store in any process: within a
// transfer the block grows geometrically, never beyond the end the reply announced when that end holds
// what arrived, and the perform step gives back the room left over once the transfer is done.
//
// Makes the session's block hold at least need bytes; false when it cannot grow, the block unchanged.
bool MakeReplyRoom(KYLibCurl& session, size_t need);

// Shrinks the block to the body and its zero byte when it holds notably more; a block that cannot shrink
// stays as it is.
void TrimReplyBuffer(KYLibCurl& session);

// One perform of a session's transfer, and the rule that judges it: a write error is tolerated unless
// part of the reply could not be stored; success means result 0 (or a tolerated write error) and a 2xx
// status.
struct PerformOutcome {
    CURLcode result;
    bool replyNotStored;  // part of the reply could not be stored in the session

    // A caller's own write callback may stop a transfer on purpose, which libcurl reports as a write
    // error; a reply that could not be stored is a failure all the same.
    bool WriteErrorTolerated() const { return result == CURLE_WRITE_ERROR && !replyNotStored; }
    bool SucceededWith(long status) const {
        return (result == CURLE_OK || WriteErrorTolerated()) && status >= 200 && status <= 299;
    }
};

// Performs the session's transfer once, with a share of connections lent from the process's pool if the
// session shares (one for transfers through tunnels when throughTunnel) and the record its reply
// callbacks keep, and trims the reply buffer after it.
PerformOutcome PerformOnce(KYLibCurl& session, bool throughTunnel);

}  // namespace kylibcurl::detail

#endif
