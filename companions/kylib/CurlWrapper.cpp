// A direct binding of the facade to the libcurl easy interface.
#include "CurlWrapper.h"

CurlWrapper CurlWrapper::gCurlWrapper;

CURLcode CurlWrapper::Curl_global_init(long flags) { return curl_global_init(flags); }

void* CurlWrapper::Curl_easy_init() { return curl_easy_init(); }

CURLcode CurlWrapper::Curl_easy_setopt(void* handle, CURLoption option, long value) {
    return curl_easy_setopt(handle, option, value);
}

// libcurl fetches number options with va_arg(long): an int passed as is would leave the upper half of the
// argument undefined, so widen it here.
CURLcode CurlWrapper::Curl_easy_setopt(void* handle, CURLoption option, int value) {
    return curl_easy_setopt(handle, option, static_cast<long>(value));
}

// Callbacks arrive here cast to void*; libcurl fetches them as function pointers of the same size.
CURLcode CurlWrapper::Curl_easy_setopt(void* handle, CURLoption option, void* value) {
    return curl_easy_setopt(handle, option, value);
}

CURLcode CurlWrapper::Curl_easy_setopt(void* handle, CURLoption option, const char* value) {
    return curl_easy_setopt(handle, option, value);
}

CURLcode CurlWrapper::Curl_easy_perform(void* handle) { return curl_easy_perform(handle); }

CURLcode CurlWrapper::Curl_easy_getinfo(void* handle, CURLINFO info, long* value) {
    return curl_easy_getinfo(handle, info, value);
}

void CurlWrapper::Curl_easy_cleanup(void* handle) { curl_easy_cleanup(handle); }

const char* CurlWrapper::Curl_easy_strerror(CURLcode code) { return curl_easy_strerror(code); }

// libcurl copies the text with strdup, which a null text would crash; report it as libcurl reports any
// failed append, with a null result and the list left alone.
curl_slist* CurlWrapper::Curl_slist_append(curl_slist* list, const char* text) {
    if (!text) return nullptr;
    return curl_slist_append(list, text);
}

void CurlWrapper::Curl_slist_free_all(curl_slist* list) { curl_slist_free_all(list); }

// libcurl takes the length of a zero length text with strlen, which a null text would crash.
char* CurlWrapper::Curl_easy_escape(void* handle, const char* text, int length) {
    if (!text) return nullptr;
    return curl_easy_escape(handle, text, length);
}

void CurlWrapper::Curl_free(void* text) { curl_free(text); }
