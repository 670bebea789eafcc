#include "transfer_outcome.h"

#include <curl/curl.h>

namespace kycurl {

Outcome JudgeTransfer(const TransferFacts& facts) {
    Outcome outcome;
    // The library fails a complete reply whose status lies outside 200-299; curl does not.
    if (facts.succeeded || facts.result == CURLE_OK) {
        outcome.transferred = true;
        return outcome;
    }
    // The library ended the request before any transfer, without a word from libcurl.
    if (facts.result == CURLE_FAILED_INIT && facts.errorText.empty()) {
        outcome.exitCode = facts.routed ? CURLE_COULDNT_CONNECT : CURLE_UNSUPPORTED_PROTOCOL;
        outcome.reason = facts.routed ? "no route to the client could be set up (see --library-log)"
                                      : "the library refused the request (see --library-log)";
        return outcome;
    }
    outcome.exitCode = facts.result;
    outcome.reason = facts.errorText.empty() ? curl_easy_strerror(facts.result) : facts.errorText;
    return outcome;
}

bool IsTransient(const Outcome& outcome, long status) {
    switch (outcome.exitCode) {
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return true;
        case CURLE_OK:
        case CURLE_HTTP_RETURNED_ERROR:
            break;
        default:
            return false;
    }
    switch (status) {
        case 408:
        case 429:
        case 500:
        case 502:
        case 503:
        case 504:
            return true;
        default:
            return false;
    }
}

}  // namespace kycurl
