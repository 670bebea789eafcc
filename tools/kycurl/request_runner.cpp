#include "request_runner.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "body_source.h"
#include "etag_files.h"
#include "exchange_trace.h"
#include "kylibcurl.h"
#include "messages.h"
#include "mime_form.h"
#include "multipart.h"
#include "reply_writer.h"
#include "request_body.h"
#include "request_headers.h"
#include "route_url.h"
#include "session_lists.h"
#include "session_setup.h"
#include "transfer_outcome.h"
#include "url_glob.h"
#include "url_job.h"
#include "write_out.h"

namespace kycurl {

namespace {

constexpr int kRetryDelayLimitSeconds = 600;

// libcurl's error buffer, without the line end some messages carry.
std::string ErrorText(const KYLibCurl& session) {
    std::string text(session.m_errorBuf, strnlen(session.m_errorBuf, sizeof session.m_errorBuf));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// "-" is standard output and "%" standard error, as for curl's --trace.
FILE* OpenStream(const std::string& path, std::string& error, bool append = false) {
    if (path == "-") return stdout;
    if (path == "%") return stderr;
    FILE* file = fopen(path.c_str(), append ? "ab" : "wb");
    if (!file) error = "cannot open '" + path + "' for writing: " + strerror(errno);
    return file;
}

// libcurl rejects a malformed URL without a message of its own: its URL parser, with the switches
// libcurl parses a request's URL with, names the fault before anything is sent.
bool CheckUrl(const std::string& url, std::string& error) {
    CURLU* parsed = curl_url();
    CURLUcode code = parsed ? curl_url_set(parsed, CURLUPART_URL, url.c_str(),
                                           CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME)
                            : CURLUE_OUT_OF_MEMORY;
    curl_url_cleanup(parsed);
    if (code == CURLUE_OK) return true;
    error = curl_url_strerror(code);
    return false;
}

struct StreamCloser {
    void operator()(FILE* file) const {
        if (file && file != stdout && file != stderr) fclose(file);
    }
};
using Stream = std::unique_ptr<FILE, StreamCloser>;

class CommandRunner {
  public:
    explicit CommandRunner(const Options& options) : m_o(options), m_writer(m_session) {}
    // libcurl writes its last trace records and may read a body while the handle goes: the handle ends
    // while the trace, its file and the bodies are still there.
    ~CommandRunner() {
        m_session.KYLibCurlDeInit();
        m_mime.reset();
    }
    CommandRunner(const CommandRunner&) = delete;
    CommandRunner& operator=(const CommandRunner&) = delete;

    int Run() {
        int status = Prepare();
        if (status != kExitOk) return status;
        for (size_t i = 0; i < m_o.urls.size(); ++i) {
            status = RunUrl(i);
            if (status != kExitOk && m_o.failEarly) break;
        }
        return status;
    }

  private:
    int Fail(int status, const std::string& message) {
        if (m_o.showsErrors()) PrintError("(" + std::to_string(status) + ") " + message);
        return status;
    }

    // "METHOD URL: text", the URL without its password.
    std::string Named(const UrlJob& job, const std::string& text) const {
        return MethodName(job) + (" " + job.shownUrl + ": " + text);
    }

    std::string MethodName(const UrlJob& job) const {
        return !m_o.customMethod.empty() ? m_o.customMethod : KYLibCurl::GetHttpReqTypeString(job.method);
    }

    int Prepare() {
        std::string error;
        std::vector<std::string> warnings;
        if (!BuildData(m_o.data, m_data, error, &warnings)) return Fail(CURLE_READ_ERROR, error);
        for (const std::string& warning : warnings) {
            if (m_o.showsWarnings()) PrintWarning(warning);
        }
        // The body is held once: the data is either the body or the query of -G, never both.
        if (!m_o.dataAsQuery && m_o.hasData()) m_dataBody.AddText(std::move(m_data));
        // A routed form is laid out here: the library routes only the bodies it is given.
        if (m_o.hasClient && !m_o.formParts.empty() &&
            !BuildMultipart(m_o.formParts, m_formBody, m_formContentType, error)) {
            return Fail(CURLE_READ_ERROR, error);
        }
        if (!LoadWriteOut(error)) return Fail(CURLE_READ_ERROR, error);
        if (!OpenStreams(error)) return Fail(CURLE_WRITE_ERROR, error);
        if (!ConfigureSession(m_session, m_o, &ReplyWriter::Write, error) ||
            !m_lists.Install(m_session, m_o, error))
            return Fail(CURLE_FAILED_INIT, error);
        if (!m_writer.Install() || (m_trace && !m_trace->Install(m_session))) {
            return Fail(CURLE_FAILED_INIT, "the session refused the transfer callbacks");
        }
        if (!m_o.hasClient && !m_o.formParts.empty()) {
            m_mime = BuildMimeForm(m_session.m_curlHandle, m_o.formParts, error);
            if (!m_mime) return Fail(CURLE_READ_ERROR, error);
        }
        return kExitOk;
    }

    // "-w @file" reads the format from the file ("@-": standard input).
    bool LoadWriteOut(std::string& error) {
        m_writeOut = m_o.writeOut;
        if (m_writeOut.empty() || m_writeOut[0] != '@') return true;
        std::vector<DataItem> item = {{DataFlavour::Binary, m_writeOut}};
        return BuildData(item, m_writeOut, error);
    }

    bool OpenStreams(std::string& error) {
        if (!m_o.headerDump.empty()) {
            m_headerDump.reset(OpenStream(m_o.headerDump, error));
            if (!m_headerDump) return false;
        }
        if (m_o.trace == TraceMode::Verbose) {
            m_trace = std::make_unique<ExchangeTrace>(m_o.trace, stderr, isatty(STDOUT_FILENO) != 0);
        } else if (m_o.trace == TraceMode::Hex || m_o.trace == TraceMode::Ascii) {
            m_traceFile.reset(OpenStream(m_o.traceFile, error, m_o.appendTrace));
            if (!m_traceFile) return false;
            m_trace = std::make_unique<ExchangeTrace>(m_o.trace, m_traceFile.get(), false);
        }
        return true;
    }

    int RunUrl(size_t index) {
        UrlJob job;
        std::string error;
        if (!MakeUrlJob(m_o, index, m_data, job, error)) return Fail(CURLE_WRITE_ERROR, error);
        if (!CheckUrl(job.requestUrl, error)) return Fail(CURLE_URL_MALFORMAT, Named(job, error));
        BodySource upload;
        if (!job.upload.empty() && !upload.AddFile(job.upload, error)) return Fail(CURLE_READ_ERROR, error);
        BodySource* body = !job.upload.empty() ? &upload : !m_formBody.empty() ? &m_formBody : &m_dataBody;
        if (body->empty()) body = nullptr;
        // The data and form bodies serve every URL, each from their first byte.
        if (body && !body->Rewind()) return Fail(CURLE_READ_ERROR, "standard input cannot be sent twice");
        // A request without a body still gets a (empty) reader: libcurl must never call back into the
        // upload of an earlier URL, which is gone by then.
        if (!(body ? body : &m_noBody)->Install(m_session)) {
            return Fail(CURLE_FAILED_INIT, "the session refused the body");
        }
        if (!m_o.hasUser && !ApplyUrlCredentials(m_session, job.credentials)) {
            return Fail(CURLE_FAILED_INIT, "the session refused the URL's credentials");
        }
        long resumeFrom = job.resumeFrom;
        if (!m_session.KYLibCurlSetAdditionalOptionsCOffValue(CURLOPT_RESUME_FROM_LARGE, resumeFrom))
            return Fail(CURLE_FAILED_INIT, "the session refused the resume offset");
        switch (m_etags.Begin(m_o, job.etagLine, error)) {
            case EtagFiles::Start::Skip:
                return kExitOk;
            case EtagFiles::Start::Fail:
                return Fail(CURLE_READ_ERROR, error);
            case EtagFiles::Start::Send:
                break;
        }
        return Attempt(job, body);
    }

    int Attempt(const UrlJob& job, BodySource* body) {
        int delaySeconds = m_o.retryDelaySeconds > 0 ? m_o.retryDelaySeconds : 1;
        const auto start = std::chrono::steady_clock::now();
        for (int retriesLeft = m_o.retries;; --retriesLeft) {
            Outcome outcome = SendOnce(job, body);
            long status = m_session.m_httpRespCode;
            m_etags.Save(m_session);
            FailWithBody(outcome, status);
            bool transient =
                IsTransient(outcome, status) || (m_o.retryAllErrors && outcome.exitCode != CURLE_OK);
            bool again = retriesLeft > 0 && transient && (!body || body->Rewind());
            int wait = again ? RetryWait(outcome, delaySeconds) : 0;
            if (again && !WithinRetryTime(start, wait)) {
                if (m_o.showsWarnings())
                    PrintWarning("The retry delay would pass the --retry-max-time: no more retries.");
                again = false;
            }
            if (!again) return Report(job, outcome, status);
            bool httpError = outcome.exitCode == CURLE_OK || outcome.exitCode == CURLE_HTTP_RETURNED_ERROR;
            if (m_o.showsWarnings()) {
                PrintWarning(std::string("Problem ") + (httpError ? ": HTTP error" : ": timeout") +
                             ". Will retry in " + std::to_string(wait) + " seconds. " +
                             std::to_string(retriesLeft) + " retries left.");
            }
            std::this_thread::sleep_for(std::chrono::seconds(wait));
            if (m_o.retryDelaySeconds == 0)
                delaySeconds = std::min(delaySeconds * 2, kRetryDelayLimitSeconds);
        }
    }

    // --fail-with-body: the reply is written, then the status fails the transfer as -f would.
    void FailWithBody(Outcome& outcome, long status) const {
        if (!m_o.failWithBody || outcome.exitCode != CURLE_OK || status < 400 || status > 599) return;
        outcome.exitCode = CURLE_HTTP_RETURNED_ERROR;
        outcome.reason = "The requested URL returned error: " + std::to_string(status);
    }

    // --retry-max-time: a retry that would start after the limit is not made, as in curl.
    bool WithinRetryTime(std::chrono::steady_clock::time_point start, int waitSeconds) const {
        return m_o.retryMaxTimeSeconds == 0 ||
               std::chrono::steady_clock::now() - start + std::chrono::seconds(waitSeconds) <=
                   std::chrono::seconds(m_o.retryMaxTimeSeconds);
    }

    // A Retry-After of the reply, when it gave one, replaces the delay.
    int RetryWait(const Outcome& outcome, int delaySeconds) const {
        curl_off_t retryAfter = 0;
        if (outcome.transferred) curl_easy_getinfo(m_session.m_curlHandle, CURLINFO_RETRY_AFTER, &retryAfter);
        if (retryAfter > 0)
            return static_cast<int>(std::min<curl_off_t>(retryAfter, kRetryDelayLimitSeconds));
        return delaySeconds;
    }

    Outcome SendOnce(const UrlJob& job, BodySource* body) {
        std::string error;
        if (!PrepareHeaders(job, body, error)) return {CURLE_FAILED_INIT, error, false};
        m_writer.Start({job.outputPath, m_o.includeHeaders || m_o.head, m_headerDump.get(),
                        m_o.showsProgress(), job.appendOutput, job.remoteName && m_o.remoteHeaderName,
                        m_o.noClobber});
        const char* client = m_o.hasClient ? m_o.clientName.c_str() : nullptr;
        if (m_trace) m_trace->StartRequest(job.requestUrl, client);
        m_session.m_errorBuf[0] = '\0';
        m_session.m_httpRespCode = 0;
        bool succeeded = Send(job, body, client);
        Outcome outcome = JudgeTransfer(
            {succeeded, m_session.KYLibCurlLastResult(), ErrorText(m_session), client != nullptr});
        bool written = m_writer.Finish(outcome.exitCode == CURLE_OK);
        if (!written) return {CURLE_WRITE_ERROR, m_writer.error(), false};
        if (body && body->failed()) return {CURLE_READ_ERROR, body->error(), false};
        return outcome;
    }

    // The session's lists start afresh for each attempt: the -H lines, then the lines the body needs.
    bool PrepareHeaders(const UrlJob& job, const BodySource* body, std::string& error) {
        m_session.KYLibCurlFreeHttpHeaderList();
        BodyShape shape;
        shape.json = HasJson(m_o.data) && !m_o.dataAsQuery;
        if (body == &m_formBody) shape.formContentType = m_formContentType;
        shape.upload = !job.upload.empty();
        shape.present = body != nullptr;
        shape.sizeKnown = !body || body->sizeKnown();
        shape.size = body ? body->size() : 0;
        shape.http10 = m_o.httpVersion == HttpVersion::Http10;
        // A resumed upload sends the file from the offset on (libcurl skips what came before).
        if (shape.upload && job.resumeFrom > 0)
            shape.size -= std::min<uint64_t>(shape.size, static_cast<uint64_t>(job.resumeFrom));
        std::vector<std::string> given = m_o.headers;
        if (!job.etagLine.empty()) given.push_back(job.etagLine);
        std::vector<std::string> lines = RequestHeaderLines(given, shape);
        for (const std::string& line : lines) {
            if (!m_session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, line.c_str())) {
                error = "the session refused the header '" + line + "'";
                return false;
            }
        }
        return true;
    }

    // -X without a body sends its method as curl does: the method's name on a GET, without the length and
    // content type a body would bring.
    bool NamedMethodWithoutBody(const UrlJob& job, const BodySource* body) const {
        return !body && job.method != HTTP_REQ_GET && job.method != HTTP_REQ_HEAD;
    }

    // The library keeps a method name set on the handle for a GET or a POST; it names a PUT's itself.
    bool SendsCustomMethod(const UrlJob& job) const {
        return !m_o.customMethod.empty() && (job.method == HTTP_REQ_GET || job.method == HTTP_REQ_POST);
    }

    // A body of one text goes to the library as a buffer; any other is read through the read callback,
    // as long as a -H Content-Length line declares, else the body's own length. In chunked mode the library
    // takes every method's body from the read callback and sends neither data nor length.
    bool Send(const UrlJob& job, const BodySource* body, const char* client) {
        const void* data = nullptr;
        size_t length = 0;
        if (body && !m_session.m_chunked && body->onlyText()) {
            data = body->onlyText()->data();
            length = body->onlyText()->size();
        } else if (body && !m_session.m_chunked) {
            long declared = static_cast<long>(body->size());
            GivenContentLength(m_o.headers, declared);
            length = static_cast<size_t>(declared);
        }
        if (m_mime) return SendForm(job);
        const bool named = NamedMethodWithoutBody(job, body) || SendsCustomMethod(job);
        if (!named) {
            return m_session.KYLibCurlSendHttpReq2(job.method, job.requestUrl.c_str(), data, length, false,
                                                   client, m_o.dynamicTppm);
        }
        const std::string name = MethodName(job);
        if (!m_session.KYLibCurlSetAdditionalOptionsStringValue(CURLOPT_CUSTOMREQUEST, name)) return false;
        const _http_req_type_ type = body ? job.method : HTTP_REQ_GET;
        bool sent = m_session.KYLibCurlSendHttpReq2(type, job.requestUrl.c_str(), data, length, false, client,
                                                    m_o.dynamicTppm);
        curl_easy_setopt(m_session.m_curlHandle, CURLOPT_CUSTOMREQUEST, static_cast<char*>(nullptr));
        return sent;
    }

    // The status the library's requests give a transfer without a reply.
    static long PseudoStatus(CURLcode result) {
        if (result == CURLE_COULDNT_CONNECT || result == CURLE_RECV_ERROR) return HTTP_RESP_CONNECT_FAILED;
        if (result == CURLE_OPERATION_TIMEDOUT) return HTTP_RESP_TIMED_OUT;
        return 0;
    }

    // A form goes out as libcurl's mime post: the library performs it as the handle is set up, on the
    // request's own URL, method and header lines.
    bool SendForm(const UrlJob& job) {
        CURL* handle = m_session.m_curlHandle;
        const std::string name = MethodName(job);
        const char* method = job.method == HTTP_REQ_POST && m_o.customMethod.empty() ? nullptr : name.c_str();
        bool ready = m_session.KYCurlSetUrl(job.requestUrl.c_str()) &&
                     curl_easy_setopt(handle, CURLOPT_MIMEPOST, m_mime.get()) == CURLE_OK &&
                     curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, method) == CURLE_OK &&
                     m_session.KYLibCulrInitHttpHeaders();
        bool sent = ready && m_session.KYCurlPostSubmitForm();
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, static_cast<char*>(nullptr));
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        m_session.m_httpRespCode = status != 0 ? status : PseudoStatus(m_session.KYLibCurlLastResult());
        return sent;
    }

    int Report(const UrlJob& job, const Outcome& outcome, long status) {
        if (outcome.exitCode != CURLE_OK)
            Fail(outcome.exitCode, Named(job, outcome.reason + " (" + DescribeStatus(status) + ")"));
        if (!m_writeOut.empty()) WriteOut(job, outcome);
        return outcome.exitCode;
    }

    void WriteOut(const UrlJob& job, const Outcome& outcome) {
        WriteOutFacts facts;
        facts.exitCode = outcome.exitCode;
        facts.errorMessage = outcome.reason;
        if (m_o.hasClient) facts.tunnelUrl = RoutedUrlOf(m_session.m_curlHandle, job.requestUrl);
        facts.outputFile = job.outputPath;
        facts.url = job.shownUrl;
        facts.urlNumber = job.urlNumber;
        kycurl::WriteOut(m_writeOut, m_session, facts);
    }

    const Options& m_o;
    SessionLists m_lists;  // read by libcurl until the session is gone
    KYLibCurl m_session;
    EtagFiles m_etags;
    ReplyWriter m_writer;
    std::unique_ptr<ExchangeTrace> m_trace;
    Stream m_traceFile;
    Stream m_headerDump;
    std::string m_data;
    std::string m_writeOut;
    BodySource m_dataBody;
    BodySource m_noBody;
    BodySource m_formBody;
    std::string m_formContentType;
    Mime m_mime;  // the form of a direct request
};

}  // namespace

int RunRequests(const Options& options) {
    Options expanded = options;
    std::string error;
    if (!ExpandUrlGlobs(expanded, error)) {
        if (options.showsErrors()) PrintError("(" + std::to_string(CURLE_URL_MALFORMAT) + ") " + error);
        return CURLE_URL_MALFORMAT;
    }
    return CommandRunner(expanded).Run();
}

int RunProbe(const Options& o) {
    KYLibCurl session;
    std::string error;
    if (!ConfigureSession(session, o, nullptr, error)) {
        if (o.showsErrors()) PrintError(error);
        return CURLE_FAILED_INIT;
    }
    const std::string url = SplitCredentials(o.urls[0]).url;
    bool useDynamicTppm = true;
    if (!session.KYLibCurlDynamiceTppmCheck(url, o.clientName, useDynamicTppm)) {
        if (o.showsErrors()) {
            PrintError("(7) probe of " + RedactUrl(o.urls[0]) + " through client '" + o.clientName +
                       "' failed: neither route answered (last: " + DescribeStatus(session.m_httpRespCode) +
                       ")");
        }
        return CURLE_COULDNT_CONNECT;
    }
    printf("%s route answered\n", useDynamicTppm ? "dynamic TPPM" : "ordinary");
    return kExitOk;
}

}  // namespace kycurl
