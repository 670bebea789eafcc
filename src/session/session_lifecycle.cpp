#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/file_objects.h"
#include "session/curl_result.h"

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
    const char* tag = "KYLibCurl::KYLibCurlInit";
    if (!__atomic_load_n(&KYLibCurlGlobal::m_global_init, __ATOMIC_ACQUIRE) && !KYLibCurlGlobal::Init())
        return false;

    // A session initialised twice would otherwise leak its first handle.
    if (m_curlHandle) session::Curl().Curl_easy_cleanup(m_curlHandle);
    m_curlHandle = session::Curl().Curl_easy_init();
    if (!m_curlHandle) {
        m_dbg.DebugLvl(tag, -1, "curl_easy_init returned error");
        KYLibCurlDeInit();
        return false;
    }

    if (writeCallback) m_writeCallback = writeCallback;
    if (!KYLibCurlSetAllOptions()) {
        KYLibCurlDeInit();
        return false;
    }

    if (contentTypeHdr) {
        memset(m_contentTypeHdr, 0, sizeof(m_contentTypeHdr));
        // The line goes out with every request: it ends at a line break, so that it stays one header.
        const size_t lineLength = strcspn(contentTypeHdr, "\r\n");
        strncpy(m_contentTypeHdr, contentTypeHdr, std::min(lineLength, sizeof(m_contentTypeHdr) - 1));
    }

    if (skipPeerVerify) {
        if (!session::CurlSucceeded(session::Curl().Curl_easy_setopt(m_curlHandle, CURLOPT_SSL_VERIFYPEER, 0),
                                    tag, "failed to set curl option:[CURLOPT_SSL_VERIFYPEER] err:[%s]"))
            return false;
        if (!session::CurlSucceeded(session::Curl().Curl_easy_setopt(m_curlHandle, CURLOPT_SSL_VERIFYHOST, 0),
                                    tag, "failed to set curl option:[CURLOPT_SSL_VERIFYHOST] err:[%s]"))
            return false;
    }

    if (requireSsl &&
        !session::CurlSucceeded(
            session::Curl().Curl_easy_setopt(m_curlHandle, CURLOPT_USE_SSL, static_cast<int>(CURLUSESSL_ALL)),
            tag, "failed to set curl option:[CURLOPT_USE_SSL] err:[%s]"))
        return false;

    return true;
}

bool KYLibCurl::KYLibCurlSetAllOptions() {
    const char* tag = "KYLibCurl::KYLibCurlSetAllOptions";
    CurlWrapper& curl = session::Curl();
    return session::CurlSucceeded(
               curl.Curl_easy_setopt(m_curlHandle, CURLOPT_ERRORBUFFER, static_cast<const char*>(m_errorBuf)),
               tag, "failed to set curl option:[CURLOPT_ERRORBUFFER]err:[%s]") &&
           session::CurlSucceeded(curl.Curl_easy_setopt(m_curlHandle, CURLOPT_WRITEFUNCTION,
                                                        reinterpret_cast<void*>(m_writeCallback)),
                                  tag, "failed to set curl option:[CURLOPT_WRITEFUNCTION] err:[%s]") &&
           session::CurlSucceeded(
               curl.Curl_easy_setopt(m_curlHandle, CURLOPT_WRITEDATA, static_cast<void*>(this)), tag,
               "failed to set curl option:[CURLOPT_WRITEDATA] err:[%s]") &&
           session::CurlSucceeded(curl.Curl_easy_setopt(m_curlHandle, CURLOPT_HEADERFUNCTION,
                                                        reinterpret_cast<void*>(libcurl_headercallback)),
                                  tag, "failed to set curl option:[CURLOPT_HEADERFUNCTION] err:[%s]") &&
           session::CurlSucceeded(
               curl.Curl_easy_setopt(m_curlHandle, CURLOPT_HEADERDATA, static_cast<void*>(this)), tag,
               "failed to set curl option:[CURLOPT_HEADERDATA] err:[%s]");
}

void KYLibCurl::KYLibCurlDeInit() {
    KYLibCurlFreeHttpHeaderList();
    if (m_curlHandle) {
        session::Curl().Curl_easy_cleanup(m_curlHandle);
        m_curlHandle = nullptr;
    }
}

void KYLibCurl::KYLibCurlFreeHttpHeaderList() {
    if (m_reqHeaders) {
        // The handle keeps a pointer to the installed list: detach it before the list goes away.
        if (m_curlHandle)
            session::Curl().Curl_easy_setopt(m_curlHandle, CURLOPT_HTTPHEADER, static_cast<void*>(nullptr));
        session::Curl().Curl_slist_free_all(m_reqHeaders);
        m_reqHeaders = nullptr;
    }
    if (m_respData) {
        free(m_respData);
        m_respData = nullptr;
        m_respSize = 0;
    }
    if (m_respHeaders) {
        session::Curl().Curl_slist_free_all(m_respHeaders);
        m_respHeaders = nullptr;
    }
}
