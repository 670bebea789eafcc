// Transfer results that stand in the session's status in place of the HTTP status.
#ifndef KYLIBCURL_REQUEST_RESULT_CLASSIFICATION_H
#define KYLIBCURL_REQUEST_RESULT_CLASSIFICATION_H

#include <curl/curl.h>

namespace kylibcurl::detail {

// HTTP_RESP_CONNECT_FAILED or HTTP_RESP_TIMED_OUT for a result that maps to one, else 0: the status
// read from the transfer stands.
long PseudoStatusFor(CURLcode result);

}  // namespace kylibcurl::detail

#endif
