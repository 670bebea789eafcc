#include "request/result_classification.h"

#include "kylibcurl.h"

namespace kylibcurl::detail {

namespace {

struct PseudoStatus {
    CURLcode result;
    long status;
};

constexpr PseudoStatus kPseudoStatuses[] = {
    {CURLE_COULDNT_CONNECT, HTTP_RESP_CONNECT_FAILED},
    {CURLE_RECV_ERROR, HTTP_RESP_CONNECT_FAILED},
    {CURLE_OPERATION_TIMEDOUT, HTTP_RESP_TIMED_OUT},
};

}  // namespace

long PseudoStatusFor(CURLcode result) {
    for (const PseudoStatus& entry : kPseudoStatuses) {
        if (entry.result == result) return entry.status;
    }
    return 0;
}

}  // namespace kylibcurl::detail
