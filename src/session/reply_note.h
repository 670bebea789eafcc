// A reply the session cannot store (a body its buffer cannot hold, a header line it cannot keep, header
// lines beyond their cap) ends the transfer with CURLE_WRITE_ERROR, which requests otherwise tolerate.
// The callbacks note it here (per thread: callbacks run on the performing thread), and whoever performed
// the transfer asks afterwards, so an incomplete reply is never a success.
#ifndef KYLIBCURL_SESSION_REPLY_NOTE_H
#define KYLIBCURL_SESSION_REPLY_NOTE_H

class KYLibCurl;

namespace kylibcurl::detail {

void NoteReplyNotStored(const KYLibCurl* session);
// True when a part of the session's reply could not be stored since the last call; clears the note.
bool TakeReplyNotStored(const KYLibCurl* session);

}  // namespace kylibcurl::detail

#endif
