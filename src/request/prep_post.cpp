#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_result.h"

using kylibcurl::detail::CurlSucceeded;

namespace {

constexpr char kTag[] = "KYLibCurl::prepPost";

// libcurl's "size unknown": with no body pointer it reads the body from the read callback.
constexpr long kSizeFromReadCallback = -1;

}  // namespace

// Installs the body of the next transfer. libcurl keeps only the pointer: the bytes stay the caller's
// and must outlive the request.
bool KYLibCurl::prepPost(const void* data, size_t len) {
    // A chunked body comes from the caller's read callback. Installing no pointer and an unknown size,
    // rather than leaving the options alone, keeps an earlier request's body (freed by now, perhaps) off
    // the wire and lets every method that sends a body read it, not only POST.
    const long size = m_chunked ? kSizeFromReadCallback : static_cast<long>(len);
    const void* body = m_chunked ? nullptr : data;
    return CurlSucceeded(
               CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_POSTFIELDSIZE_LARGE, size),
               kTag, "failed to set curl option:[CURLOPT_POSTFIELDSIZE_LARGE] err:[%s]") &&
           CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_POSTFIELDS,
                                                                    const_cast<void*>(body)),
                         kTag, "failed to set curl option:[CURLOPT_POSTFIELDS] err:[%s]");
}
