// Switches the wire trace of this session's transfer handle on or off.
#include "CurlWrapper.h"
#include "diag/trace_text_mode.h"
#include "kylibcurl.h"

void KYLibCurl::toggleTrace(bool on) {
    void* tracer = on ? reinterpret_cast<void*>(&KYLibCurl::KYCurlTracer) : nullptr;
    void* textMode = on ? static_cast<void*>(&g_traceTextOnly) : nullptr;
    CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_DEBUGFUNCTION, tracer);
    CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_DEBUGDATA, textMode);
    CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_VERBOSE, on ? 1 : 0);
}
