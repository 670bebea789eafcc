// A failed growth of the reply buffer ends the transfer with CURLE_WRITE_ERROR, which requests otherwise
// tolerate. The body callback notes the failure here (per thread: callbacks run on the performing
// thread), and whoever performed the transfer asks afterwards, so a truncated body is never a success.
#ifndef KYLIBCURL_SESSION_REPLY_GROWTH_H
#define KYLIBCURL_SESSION_REPLY_GROWTH_H

class KYLibCurl;

namespace kylibcurl::detail {

void NoteReplyGrowthFailed(const KYLibCurl* session);
// True when the session's reply buffer failed to grow since the last call; clears the note.
bool TakeReplyGrowthFailed(const KYLibCurl* session);

}  // namespace kylibcurl::detail

#endif
