#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_result.h"
#include "session/caller_read_function.h"

using kylibcurl::detail::CurlSucceeded;
using kylibcurl::detail::RawOptionSucceeded;

namespace {

// A pointer option for the caller's own transfer callbacks, with the tag and the line of its setter.
struct CallbackOption {
    CURLoption option;
    const char* tag;
    const char* failure;
};

constexpr CallbackOption kWriteFunction = {CURLOPT_WRITEFUNCTION,
                                           "KYLibCurl::KYLibCurlSetCallbackWriteFunction",
                                           "failed to set curl option:[CURLOPT_WRITEFUNCTION] err:[%s]"};
constexpr CallbackOption kWriteData = {CURLOPT_WRITEDATA, "KYLibCurl::KYLibCurlSetWriteData",
                                       "failed to set curl option:[CURLOPT_WRITEDATA] err:[%s]"};
constexpr CallbackOption kReadFunction = {CURLOPT_READFUNCTION, "KYLibCurl::KYLibCurlSetCallbackReadFunction",
                                          "failed to set curl option:[CURLOPT_READFUNCTION] err:[%s]"};
constexpr CallbackOption kReadData = {CURLOPT_READDATA, "KYLibCurl::KYLibCurlSetReadData",
                                      "failed to set curl option:[CURLOPT_READDATA] err:[%s]"};

bool SetCallbackOption(void* handle, const CallbackOption& entry, void* value) {
    return CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, entry.option, value), entry.tag,
                         entry.failure);
}

}  // namespace

// Replaces the callback on the handle only: m_writeCallback stays, and KYLibCurlSetAllOptions installs it
// again.
bool KYLibCurl::KYLibCurlSetCallbackWriteFunction(DataCallback fn) {
    return SetCallbackOption(m_curlHandle, kWriteFunction, reinterpret_cast<void*>(fn));
}

bool KYLibCurl::KYLibCurlSetWriteData(void* data) {
    return SetCallbackOption(m_curlHandle, kWriteData, data);
}

// A null function gives the handle libcurl's own back, which reads standard input.
bool KYLibCurl::KYLibCurlSetCallbackReadFunction(DataCallback fn) {
    if (!SetCallbackOption(m_curlHandle, kReadFunction, reinterpret_cast<void*>(fn))) return false;
    kylibcurl::detail::NoteCallerReadFunction(*this, fn != nullptr);
    return true;
}

bool KYLibCurl::KYLibCurlSetReadData(void* data) { return SetCallbackOption(m_curlHandle, kReadData, data); }

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
