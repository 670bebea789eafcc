// Turns a libcurl result into the session's boolean result, logging a failure.
#ifndef KYLIBCURL_SESSION_CURL_RESULT_H
#define KYLIBCURL_SESSION_CURL_RESULT_H

#include <curl/curl.h>

#include "CurlWrapper.h"

namespace session {

inline CurlWrapper& Curl() { return CurlWrapper::gCurlWrapper; }

// True when res is CURLE_OK; otherwise logs at level -1 under tag the format, whose one "%s" receives
// libcurl's text for res, and returns false.
bool CurlSucceeded(CURLcode res, const char* tag, const char* format);

}  // namespace session

#endif
