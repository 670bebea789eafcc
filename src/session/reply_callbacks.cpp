#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "session/reply_buffer.h"
#include "session/reply_lines_end.h"
#include "session/transfer_record.h"

using kylibcurl::detail::CurrentTransfer;
using kylibcurl::detail::MakeReplyRoom;
using kylibcurl::detail::ReplyLinesEnd;
using kylibcurl::detail::TransferRecord;

namespace {

// A header line is short as a rule: it is copied to the stack, zero-terminated, for the list to copy.
constexpr size_t kShortLine = 256;

// What a session keeps of one transfer's header and trailer lines, counted as received: libcurl's own
// cap on a reply's header lines. libcurl does not cap trailers, which a server may send without end.
constexpr size_t kMaxLineBytes = size_t{300} * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

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
