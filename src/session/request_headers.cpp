#include <cstdio>
#include <cstring>

#include "kylibcurl.h"
#include "platform/file_objects.h"
#include "session/curl_result.h"

namespace {

const char kAppendTag[] = "KYLibCurl::KYLibCurlAppendHeaders";

// libcurl sends a header line as given, so a CR or LF inside would end it early and put the rest on the
// wire as further header lines of the caller's making.
bool IsOneLine(const char* line) { return strpbrk(line, "\r\n") == nullptr; }

// Appends one line to a request header list and hands the whole list to the handle. A line that cannot
// be appended, or that would not go out as one line, leaves the list as it was.
CURLcode AppendAndInstall(void* handle, curl_slist*& list, const char* line) {
    if (!line || !IsOneLine(line)) return CURLE_BAD_FUNCTION_ARGUMENT;
    curl_slist* head = session::Curl().Curl_slist_append(list, line);
    if (!head) return CURLE_OUT_OF_MEMORY;
    list = head;
    return session::Curl().Curl_easy_setopt(handle, CURLOPT_HTTPHEADER, static_cast<void*>(list));
}

// The cookie options report to standard output, not to the log.
bool CookieOptionSet(void* handle, CURLoption option, const char* path, const char* format) {
    CURLcode res = session::Curl().Curl_easy_setopt(handle, option, path);
    if (res == CURLE_OK) return true;
    printf(format, session::Curl().Curl_easy_strerror(res));
    fflush(stdout);
    return false;
}

}  // namespace

bool KYLibCurl::KYLibCurlAppendHeader(_http_hdr_type_ type, const char* text) {
    switch (type) {
        case HTTP_HDR_HEADER:
            if (!session::CurlSucceeded(AppendAndInstall(m_curlHandle, m_reqHeaders, text), kAppendTag,
                                        "curl_easy_setopt returned error:[%s] options:[CURLOPT_HTTPHEADER]"))
                return false;
            if (strcmp(text, "Transfer-Encoding: chunked") == 0) m_chunked = true;
            return true;
        case HTTP_HDR_USERPWD:
            return session::CurlSucceeded(
                session::Curl().Curl_easy_setopt(m_curlHandle, CURLOPT_USERPWD, text), kAppendTag,
                "failed to set curl option:[CURLOPT_USERPWD] err:[%s]");
        case HTTP_HDR_CAINFO:
            if (!text) return true;
            return session::CurlSucceeded(
                session::Curl().Curl_easy_setopt(m_curlHandle, CURLOPT_CAINFO, text), kAppendTag,
                "failed to set curl option:[CURLOPT_CAINFO] err:[%s]");
        case HTTP_HDR_COOKIEFILE:
            return CookieOptionSet(m_curlHandle, CURLOPT_COOKIEFILE, text,
                                   "failed to set curl option:[CURLOPT_COOKIEFILE] err:[%s]");
        case HTTP_HDR_COOKIEJAR:
            return CookieOptionSet(m_curlHandle, CURLOPT_COOKIEJAR, text,
                                   "failed to set curl option:[CURLOPT_COOKIEJAR ] err:[%s]");
    }
    m_dbg.Debug(kAppendTag, "type [%d] not implemented", static_cast<int>(type));
    return true;
}

bool KYLibCurl::KYLibCulrInitHttpHeaders() {
    return session::CurlSucceeded(AppendAndInstall(m_curlHandle, m_reqHeaders, m_contentTypeHdr),
                                  "KYLibCurl::KYLibCulrInitHttpHeaders",
                                  "kycurl_esetopt returned error:[%s] options:[CURLOPT_HTTPHEADER]");
}
