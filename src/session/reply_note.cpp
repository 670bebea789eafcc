#include "session/reply_note.h"

#include <cstddef>

namespace kylibcurl::detail {

namespace {

// A few slots per thread, so that noting a failure never allocates: it happens when memory is short.
// Only the thread that performed a transfer asks about it, right after the transfer.
constexpr size_t kSlots = 8;
thread_local const KYLibCurl* t_failed[kSlots];
thread_local size_t t_next;
thread_local size_t t_noted;  // slots in use: nearly always 0, so asking costs next to nothing

}  // namespace

void NoteReplyNotStored(const KYLibCurl* session) {
    if (!session) return;
    for (const KYLibCurl* noted : t_failed)
        if (noted == session) return;
    if (!t_failed[t_next]) ++t_noted;
    t_failed[t_next] = session;
    t_next = (t_next + 1) % kSlots;
}

bool TakeReplyNotStored(const KYLibCurl* session) {
    if (!session || t_noted == 0) return false;
    bool failed = false;
    for (const KYLibCurl*& noted : t_failed) {
        if (noted != session) continue;
        noted = nullptr;
        --t_noted;
        failed = true;
    }
    return failed;
}

}  // namespace kylibcurl::detail
