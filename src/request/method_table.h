// The request methods: for each value of _http_req_type_, its text, how its body is installed and which
// option selects it on the transfer handle.
#ifndef KYLIBCURL_REQUEST_METHOD_TABLE_H
#define KYLIBCURL_REQUEST_METHOD_TABLE_H

#include "kylibcurl.h"

namespace kylibcurl::detail {

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

}  // namespace kylibcurl::detail

#endif
