// Transfer facade: every call the library makes into libcurl goes through CurlWrapper::gCurlWrapper.
#ifndef KYLIB_CURLWRAPPER_H
#define KYLIB_CURLWRAPPER_H

#include <curl/curl.h>

class __attribute__((visibility("default"))) CurlWrapper {
  public:
    static CurlWrapper gCurlWrapper;

    CURLcode Curl_global_init(long flags);
    void* Curl_easy_init();
    // libcurl reads a long for its number options, so the int overload widens before the call.
    CURLcode Curl_easy_setopt(void* handle, CURLoption option, long value);
    CURLcode Curl_easy_setopt(void* handle, CURLoption option, int value);
    CURLcode Curl_easy_setopt(void* handle, CURLoption option, void* value);
    CURLcode Curl_easy_setopt(void* handle, CURLoption option, const char* value);
    CURLcode Curl_easy_perform(void* handle);
    CURLcode Curl_easy_getinfo(void* handle, CURLINFO info, long* value);
    void Curl_easy_cleanup(void* handle);
    const char* Curl_easy_strerror(CURLcode code);
    curl_slist* Curl_slist_append(curl_slist* list, const char* text);
    void Curl_slist_free_all(curl_slist* list);
    char* Curl_easy_escape(void* handle, const char* text, int length);
    void Curl_free(void* text);

    // Signs data with RSA PKCS#1 v1.5 over SHA-256. keyPath names a PEM private key, passphrase may be
    // empty. Returns 1 and sets *signatureLen on success, 0 on failure. The buffer must hold the key's
    // size in bytes: a call with a null signature only stores that size in *signatureLen and returns 1.
    // A non-zero *signatureLen on entry is taken as the buffer's capacity and must be large enough.
    int SignSHA256withRSA(const char* keyPath, const char* data, int dataLen, const char* passphrase,
                          unsigned char* signature, unsigned int* signatureLen);
};

#endif
