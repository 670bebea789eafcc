// Which sessions read request bodies through a read callback of the caller's, kept beside the sessions
// (their fields stay as they are): a body given as a length without data is then the callback's to
// supply, while without one libcurl would read it from standard input. Safe across threads and fork: the
// set is lock-free.
#ifndef KYLIBCURL_SESSION_CALLER_READ_FUNCTION_H
#define KYLIBCURL_SESSION_CALLER_READ_FUNCTION_H

class KYLibCurl;

namespace kylibcurl::detail {

// Notes whether the session's handle now has a read callback of the caller's.
void NoteCallerReadFunction(const KYLibCurl& session, bool installed);

bool HasCallerReadFunction(const KYLibCurl& session);

}  // namespace kylibcurl::detail

#endif
