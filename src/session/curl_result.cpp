#include "session/curl_result.h"

#include "CurlWrapper.h"
#include "platform/file_objects.h"

namespace session {

bool CurlSucceeded(CURLcode res, const char* tag, const char* format) {
    if (res == CURLE_OK) return true;
    m_dbg.DebugLvl(tag, -1, format, CurlWrapper::gCurlWrapper.Curl_easy_strerror(res));
    return false;
}

}  // namespace session
