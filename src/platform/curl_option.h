// Setting one of the library's own libcurl options on a handle, through the facade, with the one line that
// reports a failure: "failed to set curl option:[NAME] err:[%s]" at level -1, NAME as the table of option
// names in curl_option.cpp spells it, and libcurl's text for the result. The caller's raw options report
// theirs by number (RawOptionSucceeded in curl_result.h).
#ifndef KYLIBCURL_PLATFORM_CURL_OPTION_H
#define KYLIBCURL_PLATFORM_CURL_OPTION_H

#include <curl/curl.h>

namespace kylibcurl::detail {

// Sets option to value on handle with the facade's overload for the value's type; true when libcurl took
// it, otherwise writes the failure line under tag and returns false.
bool SetCurlOption(void* handle, CURLoption option, long value, const char* tag);
bool SetCurlOption(void* handle, CURLoption option, int value, const char* tag);
bool SetCurlOption(void* handle, CURLoption option, void* value, const char* tag);
bool SetCurlOption(void* handle, CURLoption option, const char* value, const char* tag);

// The same for a result the caller already has (res from setting option, or a failure before it could be
// set, such as CURLE_OUT_OF_MEMORY for a list that could not be built).
bool CurlOptionSucceeded(CURLcode res, const char* tag, CURLoption option);

// The cookie files' options report on standard output instead, with the same text and no line end.
bool SetCurlOptionReportedOnStdout(void* handle, CURLoption option, const char* value);

}  // namespace kylibcurl::detail

#endif
