// The steps of one request that the dispatcher runs in order: the tag of its lines, the method table, the
// method option, and the pseudo statuses that stand in for a failed transfer's HTTP status.
#ifndef KYLIBCURL_REQUEST_REQUEST_STEPS_H
#define KYLIBCURL_REQUEST_REQUEST_STEPS_H

#include <curl/curl.h>

#include "kylibcurl.h"

namespace kylibcurl::detail {

// Every line the dispatcher and its steps write carries the dispatcher's name, whichever entry point
// the caller used.
inline constexpr char kDispatchTag[] = "KYLibCurl::KYLibCurlSendHttpReqInternal";

// The request methods: for each value of _http_req_type_, its text, how its body is installed and which
// option selects it on the transfer handle.
enum class BodyStep {
    CallerBody,  // the caller's data and len
    EmptyBody,   // size 0 and a null pointer, which clears an earlier request's body
    NoBody,      // the body options are left alone
};

struct RequestMethod {
    const char* text;     // GetHttpReqTypeString's text; for a text method also the value installed
    bool endsBeforeBody;  // the request ends with false right after its URL is set (type 6 alone)
    BodyStep body;
    bool sendsBody;     // the caller's body goes out (HEAD has it installed, but sends none)
    CURLoption option;  // the option that selects the method
    bool isText;        // installed as `text` with the text overload; otherwise `value`, int overload
    int value;
};

// The entry for a type; values outside the six methods share the "UNKNOWN" entries.
const RequestMethod& RequestMethodFor(_http_req_type_ type);

// Selecting the request method on the transfer handle:
// Undoes what an earlier request's method left on the handle, then installs this method's option.
// Call after the body options: setting a body makes libcurl switch to POST, which the method option
// then overrides. On failure the line is written and false returned.
bool InstallMethodOption(void* handle, const RequestMethod& method);

// Holds a text method's text on the handle for one request and clears it when the request ends,
// whichever way it ends, so the next request never goes out under this one's method.
class MethodTextGuard {
  public:
    MethodTextGuard(void* handle, const RequestMethod& method);
    ~MethodTextGuard();
    MethodTextGuard(const MethodTextGuard&) = delete;
    MethodTextGuard& operator=(const MethodTextGuard&) = delete;

  private:
    void* m_handle;
    bool m_active;
};

// Transfer results that stand in the session's status in place of the HTTP status:
// HTTP_RESP_CONNECT_FAILED or HTTP_RESP_TIMED_OUT for a result that maps to one, else 0: the status
// read from the transfer stands.
long PseudoStatusFor(CURLcode result);

}  // namespace kylibcurl::detail

#endif
