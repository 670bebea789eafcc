#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_result.h"

using kylibcurl::detail::CurlSucceeded;
using kylibcurl::detail::RawOptionSucceeded;

// Replaces the callback on the handle only: m_writeCallback stays, and KYLibCurlSetAllOptions installs it
// again.
bool KYLibCurl::KYLibCurlSetCallbackWriteFunction(DataCallback fn) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetCallbackWriteFunction";
    return CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_WRITEFUNCTION,
                                                                    reinterpret_cast<void*>(fn)),
                         kTag, "failed to set curl option:[CURLOPT_WRITEFUNCTION] err:[%s]");
}

bool KYLibCurl::KYLibCurlSetWriteData(void* data) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetWriteData";
    return CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_WRITEDATA, data),
                         kTag, "failed to set curl option:[CURLOPT_WRITEDATA] err:[%s]");
}

bool KYLibCurl::KYLibCurlSetCallbackReadFunction(DataCallback fn) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetCallbackReadFunction";
    return CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_READFUNCTION,
                                                                    reinterpret_cast<void*>(fn)),
                         kTag, "failed to set curl option:[CURLOPT_READFUNCTION] err:[%s]");
}

bool KYLibCurl::KYLibCurlSetReadData(void* data) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetReadData";
    return CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_READDATA, data),
                         kTag, "failed to set curl option:[CURLOPT_READDATA] err:[%s]");
}

bool KYLibCurl::KYLibCurlSetAdditionalOptions(CURLoption option) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetAdditionalOptions";
    return RawOptionSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, option, 1), kTag,
                              option);
}

bool KYLibCurl::KYLibCurlSetAdditionalOptionsStringValue(CURLoption option, const std::string& value) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetAdditionalOptionsStringValue";
    return RawOptionSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, option, value.c_str()),
                              kTag, option);
}

bool KYLibCurl::KYLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetAdditionalOptionsIntValue";
    return RawOptionSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, option, value), kTag,
                              option);
}

// For the options that take a 64-bit offset (curl_off_t is a long here).
bool KYLibCurl::KYLibCurlSetAdditionalOptionsCOffValue(CURLoption option, long& value) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetAdditionalOptionsCOffValue";
    return RawOptionSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, option, value), kTag,
                              option);
}
