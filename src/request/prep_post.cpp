#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_result.h"

using kylibcurl::detail::CurlSucceeded;

namespace {
constexpr char kTag[] = "KYLibCurl::prepPost";
}

// Installs the body of the next transfer. libcurl keeps only the pointer: the bytes stay the caller's
// and must outlive the request.
bool KYLibCurl::prepPost(const void* data, size_t len) {
    // A chunked body comes from the caller's read callback.
    if (m_chunked) return true;

    return CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_POSTFIELDSIZE_LARGE,
                                                                    static_cast<long>(len)),
                         kTag, "failed to set curl option:[CURLOPT_POSTFIELDSIZE_LARGE] err:[%s]") &&
           CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_POSTFIELDS,
                                                                    const_cast<void*>(data)),
                         kTag, "failed to set curl option:[CURLOPT_POSTFIELDS] err:[%s]");
}
