// The exit status of one request, as curl would give it, from what the session shows after the call:
// its result, libcurl's result code for the transfer, and libcurl's error text.
#ifndef KYCURL_TRANSFER_OUTCOME_H
#define KYCURL_TRANSFER_OUTCOME_H

#include <curl/curl.h>

#include <string>

namespace kycurl {

struct TransferFacts {
    bool succeeded = false;      // what the library's request call returned
    CURLcode result = CURLE_OK;  // the session's KYLibCurlLastResult after the call
    std::string errorText;       // libcurl's error buffer after the call; empty when it wrote none
    bool routed = false;
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
