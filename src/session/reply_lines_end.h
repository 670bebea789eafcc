// Where each session's reply header list ends, kept beside the session between its transfers (the
// session's fields stay as they are): a transfer appends its first line at the end found here instead of
// walking every line kept so far, so a session that keeps its lines across many requests pays the same
// for each. The list is the session's: the library releases it only in KYLibCurlFreeHttpHeaderList, which
// forgets the end first. Safe across threads and fork: no call ever waits for another thread; a record in
// use by another thread, or left in use by a thread that did not survive a fork, is simply not used.
#ifndef KYLIBCURL_SESSION_REPLY_LINES_END_H
#define KYLIBCURL_SESSION_REPLY_LINES_END_H

#include <curl/curl.h>

#include <cstddef>

class KYLibCurl;

namespace kylibcurl::detail {

// The last line of the session's reply header list: from the end noted for the session when it still
// belongs to the list, otherwise found by walking the list. Null when the list is empty.
curl_slist* ReplyLinesEnd(const KYLibCurl& session);

// Notes where the list that starts at head ends.
void NoteReplyLinesEnd(const KYLibCurl& session, const curl_slist* head, curl_slist* last);

// Forgets the end noted for the session: its list is about to be released.
void ForgetReplyLinesEnd(const KYLibCurl& session);

// Lines passed over so far, in every session, to find an end.
size_t ReplyLinesWalked();

}  // namespace kylibcurl::detail

#endif
