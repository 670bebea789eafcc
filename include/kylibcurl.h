// libKyLibCurl: an HTTP(S) client session over libcurl, with requests routed through
// firewall port-mapping (TPPM) tunnels when they name a destination client.
#ifndef KYLIBCURL_H
#define KYLIBCURL_H

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <list>
#include <string>
#include <vector>

#define KYLIBCURL_API __attribute__((visibility("default")))

// Request method. The underlying type is fixed so that out-of-range values callers pass are defined.
enum _http_req_type_ : int32_t {
    HTTP_REQ_GET = 0,
    HTTP_REQ_POST = 1,
    HTTP_REQ_PUT = 2,
    HTTP_REQ_DELETE = 3,
    HTTP_REQ_HEAD = 4,
    HTTP_REQ_PATCH = 5,
    HTTP_REQ_UNKNOWN = 6,  // names no method: a request of this type ends with false
};

// What the text given to KYLibCurl::KYLibCurlAppendHeader configures.
enum _http_hdr_type_ : int32_t {
    HTTP_HDR_HEADER = 0,      // one request header line
    HTTP_HDR_USERPWD = 1,     // "user:password"
    HTTP_HDR_CAINFO = 2,      // path of a CA certificate file
    HTTP_HDR_COOKIEFILE = 3,  // cookie file to read
    HTTP_HDR_COOKIEJAR = 4,   // cookie file to write
};

// Pseudo status codes stored in KYLibCurl::m_httpRespCode in place of an HTTP status.
constexpr long HTTP_RESP_CONNECT_FAILED = 601;  // connection refused or receive failure
constexpr long HTTP_RESP_TIMED_OUT = 602;       // the transfer timed out

class KyCriticalSectionH;

// Process-local lock used for the one-time initialisation of libcurl.
class KyCriticalSection {
  public:
    KyCriticalSection();
    ~KyCriticalSection();
    KyCriticalSection(const KyCriticalSection&) = delete;
    KyCriticalSection& operator=(const KyCriticalSection&) = delete;

    // True when the lock is now held: wait true blocks until it is, false makes one attempt. A lock that
    // cannot be taken (the system refuses it) gives false, and the caller must not go on as its holder.
    bool enter(bool wait);
    void leave();
    // In a forked child: a fresh inner lock in place of the inherited one, which a thread that does not
    // exist there may hold. False when there is no memory for it; the inherited lock then stays.
    bool renewInChild();

  private:
    KyCriticalSectionH* m_cs;
};

// Process-wide initialisation of libcurl, done once and never torn down.
class KYLIBCURL_API KYLibCurlGlobal {
  public:
    static bool m_global_init;
    static int refCounter;
    static KyCriticalSection m_mutex;

    static bool Init();
    static bool DeInit();
};

// One HTTP(S) session: one libcurl handle, the reply body, the reply header lines and the status.
// A session is used by one thread at a time.
class KYLIBCURL_API KYLibCurl {
  public:
    using DataCallback = size_t (*)(void*, size_t, size_t, void*);

    enum TPPM_CACHE_OPTYPE : int32_t {
        TPPM_CACHE_GET = 1,
        TPPM_CACHE_ADD = 2,
        TPPM_CACHE_REMOVE = 3,
    };

    void* m_curlHandle;
    char* m_respData;  // received body, always followed by one zero byte; null when nothing was received
    size_t m_respSize;
    long m_httpRespCode;
    curl_slist* m_respHeaders;
    curl_slist* m_reqHeaders;
    char m_contentTypeHdr[200];
    char m_errorBuf[CURL_ERROR_SIZE];
    _http_req_type_ m_reqType;
    DataCallback m_writeCallback;
    bool m_chunked;  // "Transfer-Encoding: chunked" is in m_reqHeaders: bodies come from the read callback

    KYLibCurl();
    ~KYLibCurl();
    KYLibCurl(const KYLibCurl&) = delete;
    KYLibCurl& operator=(const KYLibCurl&) = delete;

    // Session life and reply access.
    bool KYLibCurlInit(const char* contentTypeHdr = nullptr, bool skipPeerVerify = false,
                       bool requireSsl = false, DataCallback writeCallback = nullptr);
    bool KYLibCurlSetAllOptions();
    void KYLibCurlDeInit();
    void KYLibCurlFreeHttpHeaderList();
    bool KYCurlSetUrl(const char* url);
    bool KYCurlPostSubmitForm();
    char* GetHttpResponse(size_t& len, bool detach);
    const char* GetHttpResponseHeader(const char* name);
    bool GetHttpResponseHeaders(const char* name, std::list<std::string>& out);
    static size_t libcurl_callback(void* ptr, size_t size, size_t nmemb, void* userdata);
    static size_t libcurl_headercallback(void* ptr, size_t size, size_t nitems, void* userdata);

    // Request configuration.
    bool KYLibCurlAppendHeader(_http_hdr_type_ type, const char* text);
    bool KYLibCulrInitHttpHeaders();
    bool KYLibCurlSetCallbackWriteFunction(DataCallback fn);
    bool KYLibCurlSetWriteData(void* data);
    bool KYLibCurlSetCallbackReadFunction(DataCallback fn);
    bool KYLibCurlSetReadData(void* data);
    bool KYLibCurlSetAdditionalOptions(CURLoption option);
    bool KYLibCurlSetAdditionalOptionsStringValue(CURLoption option, const std::string& value);
    bool KYLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value);
    bool KYLibCurlSetAdditionalOptionsCOffValue(CURLoption option, long& value);
    void KYLibCurlUrlEscape(const std::string& in, std::string& out);
    int SignSHA256withRSA(const std::string& first, const std::string& data, const std::string& third,
                          unsigned char* signature, unsigned int& signatureLen);

    // Requests. clientName null sends directly; otherwise the request is routed.
    bool KYLibCurlSendHttpReqLog(_http_req_type_ type, const std::string& url, const void* data, size_t len,
                                 bool freeHeaderList, bool logFailure, const char* clientName);
    bool KYLibCurlSendHttpReqLog(_http_req_type_ type, const char* url, const void* data, size_t len,
                                 bool freeHeaderList, bool logFailure, const char* clientName);
    bool KYLibCurlSendHttpReq(_http_req_type_ type, const std::string& url, const void* data, size_t len,
                              bool freeHeaderList, const char* clientName);
    bool KYLibCurlSendHttpReq(_http_req_type_ type, const char* url, const void* data, size_t len,
                              bool freeHeaderList, const char* clientName);
    bool KYLibCurlSendHttpReq2(_http_req_type_ type, const char* url, const void* data, size_t len,
                               bool freeHeaderList, const char* clientName, bool useDynamicTppm);
    bool KYLibCurlSendHttpReqInternal(_http_req_type_ type, const char* url, const void* data, size_t len,
                                      bool freeHeaderList, bool logFailure, const char* clientName,
                                      bool useDynamicTppm);
    bool prepPost(const void* data, size_t len);
    static const char* GetHttpReqTypeString(_http_req_type_ type);

    // TPPM routing.
    bool GetUrlKey(std::string url, std::string& key, int& port, size_t& pathPos, std::string& prefix);
    bool TppmUrlMapInfo(std::string url, std::string& value, TPPM_CACHE_OPTYPE op);
    bool getTPPMUrl(const std::string& clientName, const std::string& url, std::string& outUrl,
                    bool useDynamicTppm);
    bool KYLibCurlDynamiceTppmCheck(const std::string& url, const std::string& clientName,
                                    bool& useDynamicTppm);

    // Wire trace into "log.txt" in the current directory.
    void toggleTrace(bool on);
    static int KYCurlTracer(void* handle, curl_infotype type, char* data, size_t size, void* traceData);
    static void dumpTrace(const char* label, FILE* stream, unsigned char* data, size_t size, char textOnly);
};

// Form-encodes input (application/x-www-form-urlencoded) into out, followed by one NUL byte;
// returns out's first byte. A null input gives the empty encoding.
extern "C" KYLIBCURL_API char* UrlEncode(const char* input, std::vector<char>& out);

#endif
