// The exit status of one request, as curl would give it, from what the session shows after the call:
// its result, its status (or 601/602), and libcurl's error text. The library reports no libcurl result
// code, so the failures are told apart by libcurl's own messages for them.
#ifndef KYCURL_TRANSFER_OUTCOME_H
#define KYCURL_TRANSFER_OUTCOME_H

#include <string>

namespace kycurl {

struct TransferFacts {
    bool succeeded = false;  // what the library's request call returned
    long status = 0;         // the session's status after the call (601/602 included); 0 when none
    std::string errorText;   // libcurl's error buffer after the call; empty when it wrote none
    bool routed = false;
    bool decodedReply = false;  // a Content-Encoding reply that libcurl was asked to decode (--compressed)
};

struct Outcome {
    int exitCode = 0;
    std::string reason;        // empty on success
    bool transferred = false;  // a reply was received in full (whatever its status)
};

Outcome JudgeTransfer(const TransferFacts& facts);

// The failures --retry tries again: time-outs, names not resolved, and the statuses
// 408, 429, 500, 502, 503 and 504 of a complete reply.
bool IsTransient(const Outcome& outcome, long status);

}  // namespace kycurl

#endif
