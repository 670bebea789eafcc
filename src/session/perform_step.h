// One perform of a session's transfer, and the rule that judges it: a write error is tolerated unless
// part of the reply could not be stored; success means result 0 (or a tolerated write error) and a 2xx
// status.
#ifndef KYLIBCURL_SESSION_PERFORM_STEP_H
#define KYLIBCURL_SESSION_PERFORM_STEP_H

#include <curl/curl.h>

class KYLibCurl;

namespace kylibcurl::detail {

struct PerformOutcome {
    CURLcode result;
    bool replyNotStored;  // part of the reply could not be stored in the session

    // A caller's own write callback may stop a transfer on purpose, which libcurl reports as a write
    // error; a reply that could not be stored is a failure all the same.
    bool WriteErrorTolerated() const { return result == CURLE_WRITE_ERROR && !replyNotStored; }
    bool SucceededWith(long status) const {
        return (result == CURLE_OK || WriteErrorTolerated()) && status >= 200 && status <= 299;
    }
};

// Performs the session's transfer once, with a share of connections lent from the process's pool if the
// session shares and the record its reply callbacks keep, and trims the reply buffer after it.
PerformOutcome PerformOnce(KYLibCurl& session);

}  // namespace kylibcurl::detail

#endif
