#include "kylibcurl.h"

bool KYLibCurl::KYLibCurlSendHttpReqLog(_http_req_type_ type, const std::string& url, const void* data,
                                        size_t len, bool freeHeaderList, bool logFailure,
                                        const char* clientName) {
    return KYLibCurlSendHttpReqInternal(type, url.c_str(), data, len, freeHeaderList, logFailure, clientName,
                                        false);
}

bool KYLibCurl::KYLibCurlSendHttpReqLog(_http_req_type_ type, const char* url, const void* data, size_t len,
                                        bool freeHeaderList, bool logFailure, const char* clientName) {
    return KYLibCurlSendHttpReqInternal(type, url, data, len, freeHeaderList, logFailure, clientName, false);
}

bool KYLibCurl::KYLibCurlSendHttpReq(_http_req_type_ type, const std::string& url, const void* data,
                                     size_t len, bool freeHeaderList, const char* clientName) {
    return KYLibCurlSendHttpReqInternal(type, url.c_str(), data, len, freeHeaderList, true, clientName,
                                        false);
}

bool KYLibCurl::KYLibCurlSendHttpReq(_http_req_type_ type, const char* url, const void* data, size_t len,
                                     bool freeHeaderList, const char* clientName) {
    return KYLibCurlSendHttpReqInternal(type, url, data, len, freeHeaderList, true, clientName, false);
}

bool KYLibCurl::KYLibCurlSendHttpReq2(_http_req_type_ type, const char* url, const void* data, size_t len,
                                      bool freeHeaderList, const char* clientName, bool useDynamicTppm) {
    return KYLibCurlSendHttpReqInternal(type, url, data, len, freeHeaderList, true, clientName,
                                        useDynamicTppm);
}
