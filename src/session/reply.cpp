#include "session/reply.h"

#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_result.h"
#include "platform/header_white_space.h"
#include "session/shared_connections.h"
#include "session/side_tables.h"

namespace kylibcurl::detail {

namespace {

// Callbacks run on the thread that performs, so the record of the transfer in progress is the thread's.
thread_local TransferRecord* t_current = nullptr;

}  // namespace

TransferRecord* CurrentTransfer(const KYLibCurl* session) {
    TransferRecord* current = t_current;
    return current && current->session == session ? current : nullptr;
}

TransferScope::TransferScope(const KYLibCurl& session) {
    m_record.session = &session;
    m_record.bodyStart = session.m_respSize;
    m_record.outer = t_current;
    t_current = &m_record;
}

TransferScope::~TransferScope() { t_current = m_record.outer; }

namespace {

// Room left over that is not worth a call to give back.
constexpr size_t kTrimSlack = 4096;

size_t Room(char* block) { return block ? malloc_usable_size(block) : 0; }

// Where this transfer's body ends by the server's word, with the zero byte after it; SIZE_MAX when the
// reply announced no length, or one the buffer could never hold.
size_t AnnouncedEnd(const KYLibCurl& session, const TransferRecord& transfer) {
    long announced = -1;
    CurlWrapper::gCurlWrapper.Curl_easy_getinfo(session.m_curlHandle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
                                                &announced);
    if (announced < 0) return SIZE_MAX;
    const auto length = static_cast<unsigned long>(announced);
    if (length > SIZE_MAX - 1 - transfer.bodyStart) return SIZE_MAX;
    return transfer.bodyStart + length + 1;
}

// Twice the room the block has, so that a body is moved O(log n) times, not once per piece; but no
// further than the announced end, which a server cannot make the session reserve beyond what arrives,
// since each step at most doubles what arrived. An end that no longer holds what arrived (a length the
// server got wrong, a decoded body larger than the one sent) is not a limit.
size_t GrowthTarget(const KYLibCurl& session, const TransferRecord& transfer, size_t room, size_t need) {
    size_t target = room > SIZE_MAX / 2 ? SIZE_MAX : 2 * room;
    if (target < need) target = need;
    const size_t end = AnnouncedEnd(session, transfer);
    if (end >= need && end < target) target = end;
    return target;
}

}  // namespace

bool MakeReplyRoom(KYLibCurl& session, size_t need) {
    const size_t room = Room(session.m_respData);
    if (need <= room) return true;
    // Outside a transfer of the perform step nothing trims the block afterwards: it grows exactly.
    const TransferRecord* transfer = CurrentTransfer(&session);
    const size_t target = transfer ? GrowthTarget(session, *transfer, room, need) : need;
    void* grown = realloc(session.m_respData, target);
    // A generous growth may fail where the exact one still fits.
    if (!grown && target > need) grown = realloc(session.m_respData, need);
    if (!grown) return false;
    session.m_respData = static_cast<char*>(grown);
    return true;
}

void TrimReplyBuffer(KYLibCurl& session) {
    if (!session.m_respData) return;
    const size_t used = session.m_respSize + 1;
    const size_t room = Room(session.m_respData);
    if (room <= used || room - used < kTrimSlack) return;
    if (void* trimmed = realloc(session.m_respData, used)) session.m_respData = static_cast<char*>(trimmed);
}

PerformOutcome PerformOnce(KYLibCurl& session, bool throughTunnel) {
    PerformOutcome outcome{CURLE_OK, false};
    {
        const SharedConnectionsScope shared(session.m_curlHandle, throughTunnel);
        // A handle that shares never performs alone: libcurl keeps a block for good of each transfer a
        // handle makes without the share its other transfers have.
        if (shared.noShare()) return PerformOutcome{CURLE_OUT_OF_MEMORY, false};
        const TransferScope transfer(session);
        outcome.result = CurlWrapper::gCurlWrapper.Curl_easy_perform(session.m_curlHandle);
        NoteTransferResult(session, outcome.result);
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

using namespace kylibcurl::detail;

namespace {

// A header line is short as a rule: it is copied to the stack, zero-terminated, for the list to copy.
constexpr size_t kShortLine = 256;

// What a session keeps of one transfer's header and trailer lines, counted as received: libcurl's own
// cap on a reply's header lines. libcurl does not cap trailers, which a server may send without end.
constexpr size_t kMaxLineBytes = size_t{300} * 1024;

// Returning less than libcurl handed over stops the transfer with CURLE_WRITE_ERROR; the transfer's record
// tells the performer that the reply is incomplete. Without a record nobody asks.
size_t RefuseReply(const KYLibCurl* session) {
    if (TransferRecord* transfer = CurrentTransfer(session)) transfer->replyNotStored = true;
    return 0;
}

bool WithinLineCap(TransferRecord& transfer, size_t n) {
    if (n > kMaxLineBytes - transfer.lineBytes) return false;
    transfer.lineBytes += n;
    return true;
}

// curl_slist_append walks from the node it is given to the end: given the tail, it appends at once. The
// tail of the lines kept before this transfer is where the last transfer noted it.
bool AppendAtTail(KYLibCurl& session, TransferRecord& transfer, const char* line) {
    if (transfer.linesHead != session.m_respHeaders) {
        transfer.linesHead = session.m_respHeaders;
        transfer.linesTail = ReplyLinesEnd(session);
    }
    curl_slist* appended = CurlWrapper::gCurlWrapper.Curl_slist_append(transfer.linesTail, line);
    if (!appended) return false;
    if (!transfer.linesTail) {
        session.m_respHeaders = transfer.linesHead = appended;
        transfer.linesTail = appended;
        return true;
    }
    transfer.linesTail = transfer.linesTail->next;
    return true;
}

// Without the transfer's record the line is appended from the head, as the list always was.
bool AppendLine(KYLibCurl& session, TransferRecord* transfer, const char* line) {
    if (transfer) return AppendAtTail(session, *transfer, line);
    curl_slist* head = CurlWrapper::gCurlWrapper.Curl_slist_append(session.m_respHeaders, line);
    if (head) session.m_respHeaders = head;
    return head != nullptr;
}

// Stores the length bytes at text, up to the first zero byte among them, as one line.
bool StoreLine(KYLibCurl& session, TransferRecord* transfer, const char* text, size_t length) {
    char shortLine[kShortLine];
    std::string longLine;
    const char* line = shortLine;
    if (length < sizeof shortLine) {
        memcpy(shortLine, text, length);
        shortLine[length] = '\0';
    } else {
        longLine.assign(text, length);
        line = longLine.c_str();
    }
    return AppendLine(session, transfer, line);
}

}  // namespace

// Appends the bytes to the reply buffer, keeping one zero byte after them. When the buffer cannot grow it
// stays as it was and the transfer is stopped.
size_t KYLibCurl::libcurl_callback(void* ptr, size_t size, size_t nmemb, void* userdata) {
    KYLibCurl* session = static_cast<KYLibCurl*>(userdata);
    if (size == 0 || nmemb == 0 || !session) return 0;
    if (nmemb > SIZE_MAX / size) return RefuseReply(session);
    const size_t n = size * nmemb;
    if (n > SIZE_MAX - 1 - session->m_respSize) return RefuseReply(session);
    if (!MakeReplyRoom(*session, session->m_respSize + n + 1)) return RefuseReply(session);
    // Each new byte is written once: the copy, then the one zero byte after it.
    memcpy(session->m_respData + session->m_respSize, ptr, n);
    session->m_respSize += n;
    session->m_respData[session->m_respSize] = '\0';
    return n;
}

// Keeps each header and trailer line, trimmed, in arrival order. A line that cannot be kept, or one past
// the transfer's cap, stops the transfer: a reply with lines silently missing is never a success.
size_t KYLibCurl::libcurl_headercallback(void* ptr, size_t size, size_t nitems, void* userdata) {
    KYLibCurl* session = static_cast<KYLibCurl*>(userdata);
    if (!session || (size != 0 && nitems > SIZE_MAX / size)) return 0;
    const size_t n = size * nitems;
    TransferRecord* transfer = CurrentTransfer(session);
    if (transfer && !WithinLineCap(*transfer, n)) return RefuseReply(session);
    // Trimmed where it lies, as FXString::TrimWhiteSpace trims a copy: spaces and tabs leave both ends,
    // line-end characters stay.
    const char* begin = static_cast<const char*>(ptr);
    const char* end = begin + n;
    while (begin < end && IsBlank(*begin)) ++begin;
    while (end > begin && IsBlank(end[-1])) --end;
    if (begin == end) return n;
    // No exception may cross libcurl's frames.
    try {
        if (!StoreLine(*session, transfer, begin, static_cast<size_t>(end - begin)))
            return RefuseReply(session);
    } catch (const std::bad_alloc&) {
        return RefuseReply(session);
    }
    return n;
}

CURLcode KYLibCurl::KYLibCurlLastResult() const { return NotedTransferResult(*this); }
