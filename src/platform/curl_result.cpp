#include "platform/curl_result.h"

#include "CurlWrapper.h"

namespace kylibcurl::detail {

const char* CurlErrorText(CURLcode res) { return CurlWrapper::gCurlWrapper.Curl_easy_strerror(res); }

bool RawOptionSucceeded(CURLcode res, const char* tag, CURLoption option) {
    if (res == CURLE_OK) return true;
    m_dbg.DebugLvl(tag, -1, "curl_easy_setopt returned error:[%s] options:[%d]", CurlErrorText(res),
                   static_cast<int>(option));
    return false;
}

}  // namespace kylibcurl::detail
