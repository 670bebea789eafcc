// The session object itself: its life (construction, initialisation, the options every request relies
// on, release), the process-wide initialisation count, the caller's option and callback setters, the
// request header lists and cookie files, a form submitted on the handle, and access to the stored
// reply.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/close_on_exec_socket.h"
#include "platform/curl_option.h"
#include "platform/curl_result.h"
#include "platform/globals.h"
#include "platform/no_throw.h"
#include "session/fxstring_helpers.h"
#include "session/reply.h"
#include "session/shared_connections.h"
#include "session/side_tables.h"

using namespace kylibcurl::detail;

namespace {

const char kDefaultContentTypeHdr[] = "Content-Type: application/x-www-form-urlencoded";

// What keeps the caller's process as it was: without CURLOPT_NOSIGNAL libcurl sets the process-wide
// SIGPIPE handler around every call, which races between the threads of a threaded caller (libcurl sends
// with MSG_NOSIGNAL, so no write of its raises the signal); its own sockets would outlive an exec.
bool SetProcessSafeOptions(void* handle, const char* tag) {
    return SetCurlOption(handle, CURLOPT_NOSIGNAL, 1, tag) &&
           SetCurlOption(handle, CURLOPT_OPENSOCKETFUNCTION, reinterpret_cast<void*>(OpenCloseOnExecSocket),
                         tag);
}

}  // namespace

KYLibCurl::KYLibCurl()
    : m_curlHandle(nullptr),
      m_respData(nullptr),
      m_respSize(0),
      m_httpRespCode(0),
      m_respHeaders(nullptr),
      m_reqHeaders(nullptr),
      m_contentTypeHdr(),
      m_errorBuf(),
      m_reqType(HTTP_REQ_GET),
      m_writeCallback(libcurl_callback),
      m_chunked(false) {
    memcpy(m_contentTypeHdr, kDefaultContentTypeHdr, sizeof(kDefaultContentTypeHdr));
}

KYLibCurl::~KYLibCurl() { KYLibCurlDeInit(); }

bool KYLibCurl::KYLibCurlInit(const char* contentTypeHdr, bool skipPeerVerify, bool requireSsl,
                              DataCallback writeCallback) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlInit";
    if (!__atomic_load_n(&KYLibCurlGlobal::m_global_init, __ATOMIC_ACQUIRE) && !KYLibCurlGlobal::Init())
        return false;

    // A session initialised twice would otherwise leak its first handle.
    if (m_curlHandle) CleanUpHandle(m_curlHandle);
    kylibcurl::detail::NoteCallerReadFunction(*this, false);
    m_curlHandle = CurlWrapper::gCurlWrapper.Curl_easy_init();
    if (!m_curlHandle) {
        m_dbg.DebugLvl(kTag, -1, "curl_easy_init returned error");
        KYLibCurlDeInit();
        return false;
    }

    if (writeCallback) m_writeCallback = writeCallback;
    if (!KYLibCurlSetAllOptions()) {
        KYLibCurlDeInit();
        return false;
    }
    // Each perform of the handle then borrows a share of connections from the process's pool.
    JoinSharedConnections(m_curlHandle);

    if (contentTypeHdr) {
        memset(m_contentTypeHdr, 0, sizeof(m_contentTypeHdr));
        // The line goes out with every request: it ends at a line break, so that it stays one header.
        const size_t lineLength = strcspn(contentTypeHdr, "\r\n");
        strncpy(m_contentTypeHdr, contentTypeHdr, std::min(lineLength, sizeof(m_contentTypeHdr) - 1));
    }

    if (skipPeerVerify) {
        if (!SetCurlOption(m_curlHandle, CURLOPT_SSL_VERIFYPEER, 0, kTag)) return false;
        if (!SetCurlOption(m_curlHandle, CURLOPT_SSL_VERIFYHOST, 0, kTag)) return false;
    }

    if (requireSsl && !SetCurlOption(m_curlHandle, CURLOPT_USE_SSL, static_cast<int>(CURLUSESSL_ALL), kTag))
        return false;

    return true;
}

bool KYLibCurl::KYLibCurlSetAllOptions() {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetAllOptions";
    return SetCurlOption(m_curlHandle, CURLOPT_ERRORBUFFER, static_cast<const char*>(m_errorBuf), kTag) &&
           SetCurlOption(m_curlHandle, CURLOPT_WRITEFUNCTION, reinterpret_cast<void*>(m_writeCallback),
                         kTag) &&
           SetCurlOption(m_curlHandle, CURLOPT_WRITEDATA, static_cast<void*>(this), kTag) &&
           SetCurlOption(m_curlHandle, CURLOPT_HEADERFUNCTION,
                         reinterpret_cast<void*>(libcurl_headercallback), kTag) &&
           SetCurlOption(m_curlHandle, CURLOPT_HEADERDATA, static_cast<void*>(this), kTag) &&
           SetProcessSafeOptions(m_curlHandle, kTag);
}

void KYLibCurl::KYLibCurlDeInit() {
    KYLibCurlFreeHttpHeaderList();
    if (m_curlHandle) {
        CleanUpHandle(m_curlHandle);
        m_curlHandle = nullptr;
    }
    kylibcurl::detail::NoteCallerReadFunction(*this, false);
    kylibcurl::detail::ForgetTransferResult(*this);
}

void KYLibCurl::KYLibCurlFreeHttpHeaderList() {
    if (m_reqHeaders) {
        // The handle keeps a pointer to the installed list: detach it before the list goes away.
        if (m_curlHandle)
            CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_HTTPHEADER,
                                                       static_cast<void*>(nullptr));
        CurlWrapper::gCurlWrapper.Curl_slist_free_all(m_reqHeaders);
        m_reqHeaders = nullptr;
    }
    // Chunked mode ends with the list that held its line: later bodies are the caller's data again.
    m_chunked = false;
    if (m_respData) {
        free(m_respData);
        m_respData = nullptr;
        m_respSize = 0;
    }
    kylibcurl::detail::ForgetReplyLinesEnd(*this);
    if (m_respHeaders) {
        CurlWrapper::gCurlWrapper.Curl_slist_free_all(m_respHeaders);
        m_respHeaders = nullptr;
    }
}

// m_global_init is read without the lock by KYLibCurl::KYLibCurlInit, so it is only ever stored
// atomically, and only here under m_mutex.
bool KYLibCurlGlobal::Init() {
    constexpr char kTag[] = "KYLibCurlGlobal::Init";
    m_mutex.enter(true);
    if (m_global_init) {
        ++refCounter;
        m_mutex.leave();
        return true;
    }
    if (CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_global_init(CURL_GLOBAL_ALL), kTag,
                      "curl_global_init failed res: [%s]")) {
        refCounter = 1;
        __atomic_store_n(&m_global_init, true, __ATOMIC_RELEASE);
    }
    bool initialised = m_global_init;
    m_mutex.leave();
    return initialised;
}

// libcurl is never torn down once initialised, so this only keeps the count.
bool KYLibCurlGlobal::DeInit() {
    m_mutex.enter(true);
    // Extra calls leave the count at zero: it counts Init calls not yet matched.
    if (m_global_init && refCounter > 0) --refCounter;
    m_mutex.leave();
    return true;
}

// Replaces the callback on the handle only: m_writeCallback stays, and KYLibCurlSetAllOptions installs it
// again.
bool KYLibCurl::KYLibCurlSetCallbackWriteFunction(DataCallback fn) {
    return SetCurlOption(m_curlHandle, CURLOPT_WRITEFUNCTION, reinterpret_cast<void*>(fn),
                         "KYLibCurl::KYLibCurlSetCallbackWriteFunction");
}

bool KYLibCurl::KYLibCurlSetWriteData(void* data) {
    return SetCurlOption(m_curlHandle, CURLOPT_WRITEDATA, data, "KYLibCurl::KYLibCurlSetWriteData");
}

// A null function gives the handle libcurl's own back, which reads standard input.
bool KYLibCurl::KYLibCurlSetCallbackReadFunction(DataCallback fn) {
    if (!SetCurlOption(m_curlHandle, CURLOPT_READFUNCTION, reinterpret_cast<void*>(fn),
                       "KYLibCurl::KYLibCurlSetCallbackReadFunction"))
        return false;
    kylibcurl::detail::NoteCallerReadFunction(*this, fn != nullptr);
    return true;
}

bool KYLibCurl::KYLibCurlSetReadData(void* data) {
    return SetCurlOption(m_curlHandle, CURLOPT_READDATA, data, "KYLibCurl::KYLibCurlSetReadData");
}

namespace {

// A raw option that took effect may keep the session's connections out of the pool.
bool RawOptionSet(void* handle, CURLcode res, const char* tag, CURLoption option) {
    if (!RawOptionSucceeded(res, tag, option)) return false;
    NoteRawOption(handle, option);
    return true;
}

}  // namespace

bool KYLibCurl::KYLibCurlSetAdditionalOptions(CURLoption option) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetAdditionalOptions";
    return RawOptionSet(m_curlHandle, CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, option, 1),
                        kTag, option);
}

bool KYLibCurl::KYLibCurlSetAdditionalOptionsStringValue(CURLoption option, const std::string& value) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetAdditionalOptionsStringValue";
    return RawOptionSet(m_curlHandle,
                        CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, option, value.c_str()), kTag,
                        option);
}

bool KYLibCurl::KYLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetAdditionalOptionsIntValue";
    return RawOptionSet(m_curlHandle, CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, option, value),
                        kTag, option);
}

// For the options that take a 64-bit offset (curl_off_t is a long here).
bool KYLibCurl::KYLibCurlSetAdditionalOptionsCOffValue(CURLoption option, long& value) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetAdditionalOptionsCOffValue";
    return RawOptionSet(m_curlHandle, CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, option, value),
                        kTag, option);
}

bool KYLibCurl::KYLibCurlSetAdditionalOptionsPointerValue(CURLoption option, void* value) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetAdditionalOptionsPointerValue";
    return RawOptionSet(m_curlHandle, CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, option, value),
                        kTag, option);
}

// A form set up on the handle directly (libcurl's mime API) goes to the URL set here, in one perform.
bool KYLibCurl::KYCurlSetUrl(const char* url) {
    constexpr char kTag[] = "KYLibCurl::KYCurlSetUrl";
    return SetCurlOption(m_curlHandle, CURLOPT_URL, url, kTag);
}

// A tolerated write error is judged by the status like a transfer that ended well.
bool KYLibCurl::KYCurlPostSubmitForm() {
    constexpr char kTag[] = "KYLibCurl::KYCurlPostSubmitForm";
    const PerformOutcome outcome = PerformOnce(*this, false);
    if (!outcome.WriteErrorTolerated() &&
        !CurlSucceeded(outcome.result, kTag, "curl_easy_perform failed err:[%s]"))
        return false;

    long status = 0;
    CurlWrapper::gCurlWrapper.Curl_easy_getinfo(m_curlHandle, CURLINFO_RESPONSE_CODE, &status);
    if (outcome.SucceededWith(status)) return true;
    m_dbg.DebugLvl(kTag, -1, "http resp is not 200 OK. http status code:[%ld]", status);
    return false;
}

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
            return SetCurlOption(m_curlHandle, CURLOPT_USERPWD, text, kTag);
        case HTTP_HDR_CAINFO:
            if (!text) return true;
            return SetCurlOption(m_curlHandle, CURLOPT_CAINFO, text, kTag);
        case HTTP_HDR_COOKIEFILE:
            return SetCurlOptionReportedOnStdout(m_curlHandle, CURLOPT_COOKIEFILE, text);
        case HTTP_HDR_COOKIEJAR:
            return SetCurlOptionReportedOnStdout(m_curlHandle, CURLOPT_COOKIEJAR, text);
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

namespace {

// A stored line matches when it begins with the name, ignoring case (or is a shorter beginning of it).
bool LineMatches(const char* name, const char* line) {
    return FXString::CompareLeftNoCase(name, line, strlen(name)) == 0;
}

}  // namespace

char* KYLibCurl::GetHttpResponse(size_t& len, bool detach) {
    char* data = m_respData;
    len = m_respSize;
    if (detach) {
        m_respData = nullptr;
        m_respSize = 0;
    }
    return data;
}

const char* KYLibCurl::GetHttpResponseHeader(const char* name) {
    if (!name) return nullptr;
    for (const curl_slist* line = m_respHeaders; line; line = line->next)
        if (LineMatches(name, line->data)) return line->data;
    return nullptr;
}

bool KYLibCurl::GetHttpResponseHeaders(const char* name, std::list<std::string>& out) {
    out.clear();
    const bool copied = UnlessOutOfMemory("KYLibCurl::GetHttpResponseHeaders", false, [&] {
        for (const curl_slist* line = m_respHeaders; line; line = line->next)
            if (!name || LineMatches(name, line->data)) out.emplace_back(line->data);
        return true;
    });
    // Never a part of the lines: none, when they could not all be copied.
    if (!copied) out.clear();
    return !out.empty();
}
