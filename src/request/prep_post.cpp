#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/file_objects.h"

namespace {
constexpr char kTag[] = "KYLibCurl::prepPost";
}

// Installs the body of the next transfer. libcurl keeps only the pointer: the bytes stay the caller's
// and must outlive the request.
bool KYLibCurl::prepPost(const void* data, size_t len) {
    // A chunked body comes from the caller's read callback.
    if (m_chunked) return true;

    CurlWrapper& curl = CurlWrapper::gCurlWrapper;
    CURLcode rc = curl.Curl_easy_setopt(m_curlHandle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<long>(len));
    if (rc != CURLE_OK) {
        m_dbg.DebugLvl(kTag, -1, "failed to set curl option:[CURLOPT_POSTFIELDSIZE_LARGE] err:[%s]",
                       curl.Curl_easy_strerror(rc));
        return false;
    }
    rc = curl.Curl_easy_setopt(m_curlHandle, CURLOPT_POSTFIELDS, const_cast<void*>(data));
    if (rc != CURLE_OK) {
        m_dbg.DebugLvl(kTag, -1, "failed to set curl option:[CURLOPT_POSTFIELDS] err:[%s]",
                       curl.Curl_easy_strerror(rc));
        return false;
    }
    return true;
}
