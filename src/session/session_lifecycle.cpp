#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_result.h"
#include "platform/globals.h"
#include "session/caller_read_function.h"
#include "session/reply_lines_end.h"
#include "session/shared_connections.h"

using kylibcurl::detail::CurlSucceeded;
using kylibcurl::detail::JoinSharedConnections;
using kylibcurl::detail::LeaveSharedConnections;

namespace {

const char kDefaultContentTypeHdr[] = "Content-Type: application/x-www-form-urlencoded";

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
    if (m_curlHandle) {
        CurlWrapper::gCurlWrapper.Curl_easy_cleanup(m_curlHandle);
        LeaveSharedConnections(m_curlHandle);
    }
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
        if (!CurlSucceeded(
                CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_SSL_VERIFYPEER, 0), kTag,
                "failed to set curl option:[CURLOPT_SSL_VERIFYPEER] err:[%s]"))
            return false;
        if (!CurlSucceeded(
                CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_SSL_VERIFYHOST, 0), kTag,
                "failed to set curl option:[CURLOPT_SSL_VERIFYHOST] err:[%s]"))
            return false;
    }

    if (requireSsl && !CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(
                                         m_curlHandle, CURLOPT_USE_SSL, static_cast<int>(CURLUSESSL_ALL)),
                                     kTag, "failed to set curl option:[CURLOPT_USE_SSL] err:[%s]"))
        return false;

    return true;
}

bool KYLibCurl::KYLibCurlSetAllOptions() {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlSetAllOptions";
    return CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_ERRORBUFFER,
                                                                    static_cast<const char*>(m_errorBuf)),
                         kTag, "failed to set curl option:[CURLOPT_ERRORBUFFER]err:[%s]") &&
           CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_WRITEFUNCTION,
                                                                    reinterpret_cast<void*>(m_writeCallback)),
                         kTag, "failed to set curl option:[CURLOPT_WRITEFUNCTION] err:[%s]") &&
           CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_WRITEDATA,
                                                                    static_cast<void*>(this)),
                         kTag, "failed to set curl option:[CURLOPT_WRITEDATA] err:[%s]") &&
           CurlSucceeded(
               CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_HEADERFUNCTION,
                                                          reinterpret_cast<void*>(libcurl_headercallback)),
               kTag, "failed to set curl option:[CURLOPT_HEADERFUNCTION] err:[%s]") &&
           CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_HEADERDATA,
                                                                    static_cast<void*>(this)),
                         kTag, "failed to set curl option:[CURLOPT_HEADERDATA] err:[%s]");
}

void KYLibCurl::KYLibCurlDeInit() {
    KYLibCurlFreeHttpHeaderList();
    if (m_curlHandle) {
        CurlWrapper::gCurlWrapper.Curl_easy_cleanup(m_curlHandle);
        LeaveSharedConnections(m_curlHandle);
        m_curlHandle = nullptr;
    }
    kylibcurl::detail::NoteCallerReadFunction(*this, false);
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
