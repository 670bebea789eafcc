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

// Process-local lock used for the one-time initialisation of libcurl. Not for callers' own use.
class KyCriticalSection {
  public:
    // Throws the C string "Not enough memory to initialize KyCriticalSection" when the lock cannot be made.
    KyCriticalSection();
    ~KyCriticalSection();
    KyCriticalSection(const KyCriticalSection&) = delete;
    KyCriticalSection& operator=(const KyCriticalSection&) = delete;

    // Forwards to the lock implementation; the library always passes true, which blocks until the lock is
    // held. The implementation promises no result, so none is passed on.
    void enter(bool wait);
    // Releases the lock; only its holder calls it.
    void leave();
    // In a forked child: a fresh inner lock in place of the inherited one, which a thread that does not
    // exist there may hold. False when there is no memory for it; the inherited lock then stays.
    bool renewInChild();

  private:
    KyCriticalSectionH* m_cs;
};

// Process-wide initialisation of libcurl, done once and never torn down. Both calls are thread-safe.
class KYLIBCURL_API KYLibCurlGlobal {
  public:
    static bool m_global_init;         // libcurl is initialised in this process; never cleared once set
    static int refCounter;             // successful Init calls less DeInit calls
    static KyCriticalSection m_mutex;  // guards both

    // Initialises libcurl the first time (KYLibCurlInit calls it for you); later calls count a reference.
    // False when libcurl's initialisation failed (logged); the next call tries again.
    static bool Init();
    // Drops one reference; libcurl itself stays initialised. Always true.
    static bool DeInit();

    // The sessions of the process share a pool of connection caches, TLS session caches and DNS caches
    // (never cookies): a session made for one call reuses the connection and the TLS session the sessions
    // before it left, where libcurl's own rules allow (same scheme, host and port, same TLS settings).
    // Transfers through tunnels share no DNS cache. libcurl's connection cache must not be used by
    // concurrent threads, so each transfer borrows one of the pool's caches for itself and gives it back
    // when it ends. ShareConnections(false) turns this off for the sessions initialised after the call,
    // each of which then keeps its own connections and ends them with its handle; the pool's connections
    // end at once, or, where a transfer is using them, when it ends. True turns sharing on again (the
    // default). A process that wants it off calls it once, beside Init, before its first session. A
    // transfer of a sharing session that cannot have a share for want of memory fails (libcurl's
    // out-of-memory result) instead of running alone.
    static void ShareConnections(bool on);
};

// One HTTP(S) session: one libcurl handle, the reply body, the reply header lines and the status.
//
// Thread rules: a session is used by one thread at a time (nothing in it is locked); any number of
// sessions run on any number of threads at once. The tunnel cache, the process-wide initialisation and
// the logger are shared and safe to use from every thread. Calls after fork() in the child are safe.
// No call throws: one that runs out of memory fails as it fails otherwise (false, null, an empty text,
// the line "out of memory" where it logs), and the session stays usable.
//
// Ownership: the session owns its handle, both header lists and the reply body buffer until the body is
// taken with GetHttpResponse(len, true). Pointers it returns stay valid until the session's next request,
// KYLibCurlFreeHttpHeaderList, KYLibCurlDeInit or destruction. Request bodies and texts passed in stay
// the caller's; they must stay valid until the call returns.
class KYLIBCURL_API KYLibCurl {
  public:
    using DataCallback = size_t (*)(void*, size_t, size_t, void*);

    // The operation TppmUrlMapInfo performs on the process-wide tunnel cache.
    enum TPPM_CACHE_OPTYPE : int32_t {
        TPPM_CACHE_GET = 1,     // value receives the cached prefix ("http://127.0.0.1:port"), if any
        TPPM_CACHE_ADD = 2,     // stores value as the prefix for the URL's host and port
        TPPM_CACHE_REMOVE = 3,  // drops the entry for the URL's host and port; value is not used
    };

    void* m_curlHandle;   // the libcurl easy handle; null before KYLibCurlInit and after KYLibCurlDeInit
    char* m_respData;     // received body, always followed by one zero byte; null when nothing was received
    size_t m_respSize;    // body bytes in m_respData, the zero byte not counted
    long m_httpRespCode;  // status of the last request, or 601 (connection failed) / 602 (timed out)
    curl_slist* m_respHeaders;         // reply header lines, trimmed, in arrival order; null when none
    curl_slist* m_reqHeaders;          // request header lines handed to libcurl; null when none
    char m_contentTypeHdr[200];        // the content-type line every request carries once; zero-terminated
    char m_errorBuf[CURL_ERROR_SIZE];  // libcurl's error buffer for the handle
    _http_req_type_ m_reqType;         // method of the last request
    DataCallback m_writeCallback;      // body write callback installed at initialisation (libcurl_callback)
    bool m_chunked;  // "Transfer-Encoding: chunked" is in m_reqHeaders: bodies come from the read callback

    // Zeroes every field and sets the default content-type line; makes no handle.
    KYLibCurl();
    // KYLibCurlDeInit: releases the handle, both lists and the body buffer.
    ~KYLibCurl();
    KYLibCurl(const KYLibCurl&) = delete;
    KYLibCurl& operator=(const KYLibCurl&) = delete;

    // Makes the handle and sets the standard options (KYLibCurlSetAllOptions). contentTypeHdr (null: keep
    // "Content-Type: application/x-www-form-urlencoded") is cut to 199 characters; skipPeerVerify turns
    // off both the certificate and the host name check; requireSsl refuses a transfer without TLS;
    // writeCallback (null: libcurl_callback) receives the reply body with the session as its data.
    // Initialises libcurl for the process on first use. False, logged: no handle could be made (the session
    // stays without one) or an option could not be set. Initialise once; call KYLibCurlDeInit first to
    // initialise again.
    bool KYLibCurlInit(const char* contentTypeHdr = nullptr, bool skipPeerVerify = false,
                       bool requireSsl = false, DataCallback writeCallback = nullptr);
    // Sets the standard options again (error buffer, m_writeCallback, header callback, the session as
    // their data; CURLOPT_NOSIGNAL, so that libcurl never changes the process's SIGPIPE handler, which
    // would race between threads; an open-socket callback that makes every socket close-on-exec, so that
    // no connection of the library's survives an exec: a callback of yours set afterwards takes its place,
    // and its sockets are then yours to mark). False at the first option that fails, logged.
    bool KYLibCurlSetAllOptions();
    // Releases both lists, the body buffer and the handle; the session may then be initialised again.
    void KYLibCurlDeInit();
    // Releases the request header lines (ending chunked mode), the reply body and the reply header lines.
    void KYLibCurlFreeHttpHeaderList();
    // Sets the URL of the next KYCurlPostSubmitForm. False when libcurl refuses it (logged).
    bool KYCurlSetUrl(const char* url);
    // Performs the transfer as configured; true for a status from 200 to 299. A transfer cut short by a
    // write callback (result 23) is still judged by its status, unless the reply could not be stored.
    // Leaves m_httpRespCode alone.
    bool KYCurlPostSubmitForm();
    // The reply body (null when none) and its length. detach true hands the block over: the caller
    // releases it with free, and the session's next reply starts afresh. detach false: the session keeps it.
    char* GetHttpResponse(size_t& len, bool detach);
    // The first (oldest) kept reply header line that starts with name, ignoring case; the whole line, owned
    // by the session. Null when none matches. The empty name matches the first line.
    const char* GetHttpResponseHeader(const char* name);
    // Replaces out with a copy of every kept reply header line that starts with name (ignoring case), or of
    // every line when name is null, in arrival order. True when out is not empty; out of memory: false, out
    // empty.
    bool GetHttpResponseHeaders(const char* name, std::list<std::string>& out);
    // libcurl's result (CURLcode) of the last request's transfer, whatever the request call returned:
    // CURLE_OK for a transfer that ended well, whatever its status; after a stale tunnel was set up afresh,
    // the result of the last attempt. CURLE_FAILED_INIT when the last request ended before any transfer
    // (its URL, route, body or method refused) and before the first request. KYCurlPostSubmitForm sets it
    // too.
    CURLcode KYLibCurlLastResult() const;
    // The default body write callback: appends to m_respData. userdata is the session.
    static size_t libcurl_callback(void* ptr, size_t size, size_t nmemb, void* userdata);
    // The header callback: keeps each non-empty line, trimmed of spaces and tabs. userdata is the session.
    static size_t libcurl_headercallback(void* ptr, size_t size, size_t nitems, void* userdata);

    // Configures the session by type: HTTP_HDR_HEADER appends one request line (kept until the list is
    // released; "Transfer-Encoding: chunked" exactly starts chunked mode), HTTP_HDR_USERPWD sets the
    // credentials, HTTP_HDR_CAINFO the CA file (null: nothing changes), HTTP_HDR_COOKIEFILE and
    // HTTP_HDR_COOKIEJAR the cookie files. An unknown type is logged and ignored (true). False when libcurl
    // refused the setting (logged; cookie failures are printed to standard output); the session is then as
    // it was.
    bool KYLibCurlAppendHeader(_http_hdr_type_ type, const char* text);
    // Adds the content-type line to the request list, unless the list holds it already, and installs the
    // list. The request calls do this for you. False when libcurl refused the list (logged).
    bool KYLibCulrInitHttpHeaders();
    // The option setters below set one libcurl option on the handle; false when libcurl refuses it
    // (logged), and the setting before stays in force.
    // Replaces the body write callback on the handle only (m_writeCallback keeps its value).
    bool KYLibCurlSetCallbackWriteFunction(DataCallback fn);
    // Replaces the write callback's data; set your own write function with it.
    bool KYLibCurlSetWriteData(void* data);
    // The read callback and its data, which chunked requests take their body from.
    bool KYLibCurlSetCallbackReadFunction(DataCallback fn);
    bool KYLibCurlSetReadData(void* data);
    // Sets option to 1.
    bool KYLibCurlSetAdditionalOptions(CURLoption option);
    // Sets a text option (libcurl copies it).
    bool KYLibCurlSetAdditionalOptionsStringValue(CURLoption option, const std::string& value);
    // Sets a number option to value.
    bool KYLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value);
    // Sets an option that takes a 64-bit offset (curl_off_t).
    bool KYLibCurlSetAdditionalOptionsCOffValue(CURLoption option, long& value);
    // Sets an option that takes a pointer: a list (CURLOPT_RESOLVE, CURLOPT_CONNECT_TO), a callback
    // (cast to void*), its data, a share. libcurl keeps the pointer: what it points to stays yours and must
    // outlive its use by the handle.
    //
    // Connections shared between sessions: a session given, through these setters, an option that libcurl
    // does not compare when it hands out a kept connection (CURLOPT_RESOLVE, CURLOPT_CONNECT_TO, the DNS
    // options, CURLOPT_DOH_URL, CURLOPT_INTERFACE, CURLOPT_LOCALPORT, CURLOPT_LOCALPORTRANGE, the socket
    // callbacks, CURLOPT_SSL_CTX_FUNCTION and its data, the proxy's credentials and headers,
    // CURLOPT_HAPROXYPROTOCOL, CURLOPT_SHARE) leaves the pool until its handle is released: it uses only
    // connections it made itself, and a share of yours stays in place. Set such options through these
    // setters: the session does not see options set on m_curlHandle with curl_easy_setopt directly.
    bool KYLibCurlSetAdditionalOptionsPointerValue(CURLoption option, void* value);
    // Percent-escapes in into out (libcurl's escaping: a space is %20); out is empty on failure (logged).
    void KYLibCurlUrlEscape(const std::string& in, std::string& out);
    // Signs data with SHA-256 and RSA through the facade and returns the facade's result unchanged;
    // signatureLen receives the signature's length. The handle is not used.
    int SignSHA256withRSA(const std::string& first, const std::string& data, const std::string& third,
                          unsigned char* signature, unsigned int& signatureLen);

    // Requests. All of them send method type to url with the body data/len (POST, PUT, PATCH, DELETE and
    // HEAD; GET sends none; in chunked mode the body comes from the read callback instead), and return true
    // when the transfer ended with a status from 200 to 299, or was cut short by a write callback (result
    // 23) after its reply was stored. m_httpRespCode receives the status, or 601/602 for a failed
    // connection or a time-out; it is 0 from the start of each request, so a request that fails without a
    // reply of its own never shows an earlier one's status. freeHeaderList true releases the request lines, the reply body and the
    // reply header lines first; false keeps them, and the new reply is appended to what is kept.
    // logFailure false leaves out the two general failure lines (the others are always written). A failure
    // line never shows a credential. clientName null sends directly; otherwise the request is routed to that
    // destination client, directly or through a tunnel as the firewall client says.
    bool KYLibCurlSendHttpReqLog(_http_req_type_ type, const std::string& url, const void* data, size_t len,
                                 bool freeHeaderList, bool logFailure, const char* clientName);
    bool KYLibCurlSendHttpReqLog(_http_req_type_ type, const char* url, const void* data, size_t len,
                                 bool freeHeaderList, bool logFailure, const char* clientName);
    // As KYLibCurlSendHttpReqLog with logFailure true.
    bool KYLibCurlSendHttpReq(_http_req_type_ type, const std::string& url, const void* data, size_t len,
                              bool freeHeaderList, const char* clientName);
    bool KYLibCurlSendHttpReq(_http_req_type_ type, const char* url, const void* data, size_t len,
                              bool freeHeaderList, const char* clientName);
    // As KYLibCurlSendHttpReq; useDynamicTppm true routes through a tunnel without asking the firewall
    // client, and a stale tunnel is set up afresh and the request sent once more (a POST or PATCH only
    // when the tunnel refused the connection).
    bool KYLibCurlSendHttpReq2(_http_req_type_ type, const char* url, const void* data, size_t len,
                               bool freeHeaderList, const char* clientName, bool useDynamicTppm);
    // The one dispatcher every request call leads to.
    bool KYLibCurlSendHttpReqInternal(_http_req_type_ type, const char* url, const void* data, size_t len,
                                      bool freeHeaderList, bool logFailure, const char* clientName,
                                      bool useDynamicTppm);
    // Installs the request body (data, len), or in chunked mode the read callback's body. False when
    // libcurl refused an option (logged).
    bool prepPost(const void* data, size_t len);
    // "GET", "POST", "PUT", "DELETE", "HEAD", "PATCH", or "UNKNOWN" for any other value; a static text.
    static const char* GetHttpReqTypeString(_http_req_type_ type);

    // Cuts url into its scheme prefix ("https://"), its key ("host:port", the port as written, or the
    // scheme's default), its port as a number and the offset where its path begins. False, with nothing
    // written, when url holds no "://" (or memory ran out).
    bool GetUrlKey(std::string url, std::string& key, int& port, size_t& pathPos, std::string& prefix);
    // Gets, adds or removes the process-wide tunnel cache entry for url's host and port (see
    // TPPM_CACHE_OPTYPE). Thread-safe. True, but false when memory ran out (nothing changed).
    bool TppmUrlMapInfo(std::string url, std::string& value, TPPM_CACHE_OPTYPE op);
    // Resolves the URL a request to clientName goes to: url itself when the firewall client says the
    // destination is reached directly, otherwise url through a tunnel on 127.0.0.1 (cached, or set up and
    // cached). useDynamicTppm true skips the firewall question. False when no URL could be settled (logged).
    bool getTPPMUrl(const std::string& clientName, const std::string& url, std::string& outUrl,
                    bool useDynamicTppm);
    // The probe: drops the tunnel cached for url, then sends an empty POST on the dynamic route when
    // useDynamicTppm is true on entry, and on the ordinary route when that did not succeed or was not asked
    // for. True when one succeeded; useDynamicTppm then tells which (true: the dynamic route, whose tunnel
    // is not kept in the cache). Unchanged when neither did. Reply body and lines are kept as by a request.
    bool KYLibCurlDynamiceTppmCheck(const std::string& url, const std::string& clientName,
                                    bool& useDynamicTppm);

    // Starts (true) or stops (false) the wire trace: every piece of the session's traffic is appended to
    // "log.txt" in the current directory, credentials included. A log.txt that is a link, not a regular
    // file or another user's leaves the transfer untraced.
    void toggleTrace(bool on);
    // libcurl's debug callback for the trace; traceData points at the text-mode flag. Always 0.
    static int KYCurlTracer(void* handle, curl_infotype type, char* data, size_t size, void* traceData);
    // Writes one trace record of size bytes to stream: a label line, then rows of hex and text (textOnly
    // non-zero: text only, split at line ends).
    static void dumpTrace(const char* label, FILE* stream, unsigned char* data, size_t size, char textOnly);
};

// Form-encodes input (application/x-www-form-urlencoded: a space as '+', letters, digits and "-_.*" as
// they are, every other byte as %XX) into out, followed by one NUL byte; returns out's first byte, valid
// while out is unchanged. A null input gives the empty encoding. Out of memory: out empty, null returned.
// Thread-safe.
extern "C" KYLIBCURL_API char* UrlEncode(const char* input, std::vector<char>& out);

#endif
