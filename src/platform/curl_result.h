// Turns a libcurl result into a boolean result, writing one failure line through the logger.
#ifndef KYLIBCURL_PLATFORM_CURL_RESULT_H
#define KYLIBCURL_PLATFORM_CURL_RESULT_H

#include <curl/curl.h>

#include "platform/globals.h"

namespace kylibcurl::detail {

// libcurl's text for res, through the facade.
const char* CurlErrorText(CURLcode res);

// True when res is CURLE_OK. Otherwise writes one line at level -1 under tag and returns false: format
// receives args, then libcurl's text for res, so its last conversion is the "%s" of "err:[%s]".
template <typename... Args>
bool CurlSucceeded(CURLcode res, const char* tag, const char* format, Args... args) {
    if (res == CURLE_OK) return true;
    m_dbg.DebugLvl(tag, -1, format, args..., CurlErrorText(res));
    return false;
}

// The same for the raw option setters, whose line names the option by number after libcurl's text.
bool RawOptionSucceeded(CURLcode res, const char* tag, CURLoption option);

}  // namespace kylibcurl::detail

#endif
