#include <cstdio>
#include <cstring>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_result.h"
#include "platform/globals.h"

using kylibcurl::detail::CurlErrorText;
using kylibcurl::detail::CurlSucceeded;

namespace {

// libcurl sends a header line as given, so a CR or LF inside would end it early and put the rest on the
// wire as further header lines of the caller's making.
bool IsOneLine(const char* line) { return strpbrk(line, "\r\n") == nullptr; }

CURLcode Install(void* handle, curl_slist* list) {
    return CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, CURLOPT_HTTPHEADER, static_cast<void*>(list));
}

// Takes the last line off a list that holds more than the line before it (the one just appended).
void DropLastLine(curl_slist*& list) {
    curl_slist** last = &list;
    while ((*last)->next) last = &(*last)->next;
    CurlWrapper::gCurlWrapper.Curl_slist_free_all(*last);
    *last = nullptr;
}

// Appends one line to a request header list and hands the whole list to the handle. A line that cannot
// be appended, that would not go out as one line, or that the handle does not take (there is none yet)
// leaves the list as it was: a refused line never goes out with a later request.
CURLcode AppendAndInstall(void* handle, curl_slist*& list, const char* line) {
    if (!line || !IsOneLine(line)) return CURLE_BAD_FUNCTION_ARGUMENT;
    curl_slist* head = CurlWrapper::gCurlWrapper.Curl_slist_append(list, line);
    if (!head) return CURLE_OUT_OF_MEMORY;
    list = head;
    const CURLcode res = Install(handle, list);
    if (res != CURLE_OK) DropLastLine(list);
    return res;
}

bool HoldsLine(const curl_slist* list, const char* line) {
    for (; list; list = list->next)
        if (strcmp(list->data, line) == 0) return true;
    return false;
}

// The cookie options report to standard output, not to the log.
bool CookieOptionSet(void* handle, CURLoption option, const char* path, const char* format) {
    CURLcode res = CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, option, path);
    if (res == CURLE_OK) return true;
    printf(format, CurlErrorText(res));
    fflush(stdout);
    return false;
}

}  // namespace

bool KYLibCurl::KYLibCurlAppendHeader(_http_hdr_type_ type, const char* text) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlAppendHeaders";
    switch (type) {
        case HTTP_HDR_HEADER:
            if (!CurlSucceeded(AppendAndInstall(m_curlHandle, m_reqHeaders, text), kTag,
                               "curl_easy_setopt returned error:[%s] options:[CURLOPT_HTTPHEADER]"))
                return false;
            if (strcmp(text, "Transfer-Encoding: chunked") == 0) m_chunked = true;
            return true;
        case HTTP_HDR_USERPWD:
            return CurlSucceeded(
                CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_USERPWD, text), kTag,
                "failed to set curl option:[CURLOPT_USERPWD] err:[%s]");
        case HTTP_HDR_CAINFO:
            if (!text) return true;
            return CurlSucceeded(
                CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_CAINFO, text), kTag,
                "failed to set curl option:[CURLOPT_CAINFO] err:[%s]");
        case HTTP_HDR_COOKIEFILE:
            return CookieOptionSet(m_curlHandle, CURLOPT_COOKIEFILE, text,
                                   "failed to set curl option:[CURLOPT_COOKIEFILE] err:[%s]");
        case HTTP_HDR_COOKIEJAR:
            return CookieOptionSet(m_curlHandle, CURLOPT_COOKIEJAR, text,
                                   "failed to set curl option:[CURLOPT_COOKIEJAR ] err:[%s]");
    }
    m_dbg.Debug(kTag, "type [%d] not implemented", static_cast<int>(type));
    return true;
}

// A list kept across requests already holds the content-type line from the first of them: adding it
// again with each request would grow the request head without bound.
bool KYLibCurl::KYLibCulrInitHttpHeaders() {
    constexpr char kTag[] = "KYLibCurl::KYLibCulrInitHttpHeaders";
    const CURLcode res = HoldsLine(m_reqHeaders, m_contentTypeHdr)
                             ? Install(m_curlHandle, m_reqHeaders)
                             : AppendAndInstall(m_curlHandle, m_reqHeaders, m_contentTypeHdr);
    return CurlSucceeded(res, kTag, "kycurl_esetopt returned error:[%s] options:[CURLOPT_HTTPHEADER]");
}
