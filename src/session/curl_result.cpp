#include "session/curl_result.h"

#include "CurlWrapper.h"
#include "platform/file_objects.h"

namespace session {

bool CurlSucceeded(CURLcode res, const char* tag, const char* format) {
    if (res == CURLE_OK) return true;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    m_dbg.DebugLvl(tag, -1, format, CurlWrapper::gCurlWrapper.Curl_easy_strerror(res));
#pragma GCC diagnostic pop
    return false;
}

}  // namespace session
