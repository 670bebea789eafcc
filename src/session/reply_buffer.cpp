#include "session/reply_buffer.h"

#include <malloc.h>

#include <cstdint>
#include <cstdlib>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "session/transfer_record.h"

namespace kylibcurl::detail {

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

}  // namespace kylibcurl::detail
