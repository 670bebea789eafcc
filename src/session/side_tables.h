// What the library keeps beside each session, keyed by the session's address: the session's fields are
// its callers' layout and stay as they are. The tables are safe across threads and fork: no call ever
// waits for another thread.
#ifndef KYLIBCURL_SESSION_SIDE_TABLES_H
#define KYLIBCURL_SESSION_SIDE_TABLES_H

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

class KYLibCurl;

namespace kylibcurl::detail {

// Which sessions read request bodies through a read callback of the caller's, kept beside the sessions
// (their fields stay as they are): a body given as a length without data is then the callback's to
// supply, while without one libcurl would read it from standard input. The set is lock-free.
//
// Notes whether the session's handle now has a read callback of the caller's.
void NoteCallerReadFunction(const KYLibCurl& session, bool installed);

bool HasCallerReadFunction(const KYLibCurl& session);

// The libcurl result of each session's last transfer, kept beside the session (its fields stay as they
// are). Lock-free like the set above; a session that finds no slot near its home (only with many
// thousands of sessions noted at once) is not noted, and reads as a session whose request made no
// transfer.
//
// Notes the result of the transfer the session just performed.
void NoteTransferResult(const KYLibCurl& session, CURLcode result);

// Forgets it: a request begins, or the session lets its handle go.
void ForgetTransferResult(const KYLibCurl& session);

// The result noted last; CURLE_FAILED_INIT when none is.
CURLcode NotedTransferResult(const KYLibCurl& session);

// Where each session's reply header list ends, kept beside the session between its transfers (the
// session's fields stay as they are): a transfer appends its first line at the end found here instead of
// walking every line kept so far, so a session that keeps its lines across many requests pays the same
// for each. The list is the session's: the library releases it only in KYLibCurlFreeHttpHeaderList, which
// forgets the end first. A record in use by another thread, or left in use by a thread that did not
// survive a fork, is simply not used.
//
// The last line of the session's reply header list: from the end noted for the session when it still
// belongs to the list, otherwise found by walking the list. Null when the list is empty.
curl_slist* ReplyLinesEnd(const KYLibCurl& session);

// Notes where the list that starts at head ends.
void NoteReplyLinesEnd(const KYLibCurl& session, const curl_slist* head, curl_slist* last);

// Forgets the end noted for the session: its list is about to be released.
void ForgetReplyLinesEnd(const KYLibCurl& session);

// Lines passed over so far, in every session, to find an end.
size_t ReplyLinesWalked();

// One record of where a session's list ended; sessions share records by their address, and two sessions
// that meet in one take turns in it.
struct EndRecord {
    std::atomic<bool> inUse{false};
    const KYLibCurl* session = nullptr;
    const curl_slist* head = nullptr;
    curl_slist* last = nullptr;
    uint64_t generation = 0;
};

constexpr size_t kRecords = 256;

EndRecord& RecordFor(const KYLibCurl& session);

}  // namespace kylibcurl::detail

#endif
