// The lines written when a transfer fails. Every text in them is bounded; request bodies that carry
// credentials never reach the log, nor do the secrets of URLs, nor a reply's echo of either.
#ifndef KYLIBCURL_REQUEST_FAILURE_LOG_H
#define KYLIBCURL_REQUEST_FAILURE_LOG_H

#include <curl/curl.h>

#include <cstddef>

namespace kylibcurl::detail {

struct FailedTransfer {
    CURLcode result;
    long status;       // as read from the transfer, before any pseudo status
    const char* url;   // the URL the transfer went to
    const void* data;  // the caller's body, len bytes, not necessarily zero-terminated
    size_t len;
    const curl_slist* requestLines;  // the request header lines the transfer sent
    const char* reply;               // the session's reply buffer, replyLen bytes
    size_t replyLen;
    bool logFailure;  // false: only a credential-free summary is written, and only for credential bodies
};

// Never throws: a line that cannot be built for want of memory is dropped.
void LogFailedTransfer(const FailedTransfer& failure);

}  // namespace kylibcurl::detail

#endif
