#include "kylibcurl.h"
#include "platform/file_objects.h"
#include "session/curl_result.h"

namespace {

// The raw option setters name the option by number in their failure line.
bool RawOptionSet(CURLcode res, const char* tag, CURLoption option) {
    if (res == CURLE_OK) return true;
    m_dbg.DebugLvl(tag, -1, "curl_easy_setopt returned error:[%s] options:[%d]",
                   session::Curl().Curl_easy_strerror(res), static_cast<int>(option));
    return false;
}

}  // namespace

// Replaces the callback on the handle only: m_writeCallback stays, and KYLibCurlSetAllOptions installs it
// again.
bool KYLibCurl::KYLibCurlSetCallbackWriteFunction(DataCallback fn) {
    return session::CurlSucceeded(
        session::Curl().Curl_easy_setopt(m_curlHandle, CURLOPT_WRITEFUNCTION, reinterpret_cast<void*>(fn)),
        "KYLibCurl::KYLibCurlSetCallbackWriteFunction",
        "failed to set curl option:[CURLOPT_WRITEFUNCTION] err:[%s]");
}

bool KYLibCurl::KYLibCurlSetWriteData(void* data) {
    return session::CurlSucceeded(session::Curl().Curl_easy_setopt(m_curlHandle, CURLOPT_WRITEDATA, data),
                                  "KYLibCurl::KYLibCurlSetWriteData",
                                  "failed to set curl option:[CURLOPT_WRITEDATA] err:[%s]");
}

bool KYLibCurl::KYLibCurlSetCallbackReadFunction(DataCallback fn) {
    return session::CurlSucceeded(
        session::Curl().Curl_easy_setopt(m_curlHandle, CURLOPT_READFUNCTION, reinterpret_cast<void*>(fn)),
        "KYLibCurl::KYLibCurlSetCallbackReadFunction",
        "failed to set curl option:[CURLOPT_READFUNCTION] err:[%s]");
}

bool KYLibCurl::KYLibCurlSetReadData(void* data) {
    return session::CurlSucceeded(session::Curl().Curl_easy_setopt(m_curlHandle, CURLOPT_READDATA, data),
                                  "KYLibCurl::KYLibCurlSetReadData",
                                  "failed to set curl option:[CURLOPT_READDATA] err:[%s]");
}

bool KYLibCurl::KYLibCurlSetAdditionalOptions(CURLoption option) {
    return RawOptionSet(session::Curl().Curl_easy_setopt(m_curlHandle, option, 1),
                        "KYLibCurl::KYLibCurlSetAdditionalOptions", option);
}

bool KYLibCurl::KYLibCurlSetAdditionalOptionsStringValue(CURLoption option, const std::string& value) {
    return RawOptionSet(session::Curl().Curl_easy_setopt(m_curlHandle, option, value.c_str()),
                        "KYLibCurl::KYLibCurlSetAdditionalOptionsStringValue", option);
}

bool KYLibCurl::KYLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value) {
    return RawOptionSet(session::Curl().Curl_easy_setopt(m_curlHandle, option, value),
                        "KYLibCurl::KYLibCurlSetAdditionalOptionsIntValue", option);
}

// For the options that take a 64-bit offset (curl_off_t is a long here).
bool KYLibCurl::KYLibCurlSetAdditionalOptionsCOffValue(CURLoption option, long& value) {
    return RawOptionSet(session::Curl().Curl_easy_setopt(m_curlHandle, option, value),
                        "KYLibCurl::KYLibCurlSetAdditionalOptionsCOffValue", option);
}
