// Command line of kycurl: what the user asked for, parsed and checked before anything is sent.
#ifndef KYCURL_OPTIONS_H
#define KYCURL_OPTIONS_H

#include <string>
#include <vector>

#include "kylibcurl.h"

namespace kycurl {

enum class Mode { Request, Probe, Help, Version, UrlEncode };

// How one data option's value becomes request body bytes.
enum class DataFlavour {
    Ascii,      // -d: "@file" read with CR and LF dropped, "@-" standard input
    Binary,     // --data-binary: "@file" read byte for byte
    Raw,        // --data-raw: taken as given, '@' included
    UrlEncode,  // --data-urlencode: "[name]=content" or "[name]@file", content form-encoded
    Json,       // --json: like --data-binary, joined without '&'
};

// One -F or --form-string argument, "name=content".
struct FormPart {
    std::string text;
    bool literal = false;  // --form-string: the content is taken as given, '@', '<' and ';' included
};

struct DataItem {
    DataFlavour flavour;
    std::string value;
};

// Where a reply goes: the n-th -o/-O belongs to the n-th URL; URLs without one write to standard output.
struct OutputTarget {
    bool remoteName = false;  // -O: the last segment of the URL's path
    std::string path;         // -o; "-" is standard output
};

enum class TraceMode { None, Verbose, Hex, Ascii, LibraryLogTxt };

enum class HttpVersion { Default, Http10, Http11, Http2 };

// A libcurl switch kycurl passes on as given, in the order of the command line.
enum class SettingKind { Number, Offset, Text };

struct CurlSetting {
    CURLoption option;
    SettingKind kind;
    long number;  // Number and Offset
    std::string text;
};

struct Options {
    Mode mode = Mode::Request;
    std::string helpTopic;                  // --help [GROUP]
    std::vector<std::string> urls;          // in order; each is sent on the same session
    std::vector<unsigned long> urlNumbers;  // each URL's place among those its glob made (%{urlnum})
    std::vector<OutputTarget> outputs;
    std::vector<std::string> uploads;  // -T; the n-th belongs to the n-th URL
    _http_req_type_ method = HTTP_REQ_GET;
    bool methodGiven = false;
    std::string customMethod;  // -X naming another method: sent by name on the request the body implies
    std::vector<DataItem> data;
    std::vector<FormPart> formParts;   // -F, --form-string
    bool dataAsQuery = false;          // -G
    bool head = false;                 // -I
    std::vector<std::string> headers;  // -H lines in order
    std::string userPassword;          // -u
    bool hasUser = false;
    std::string caFile;                    // --cacert
    std::vector<std::string> cookies;      // -b NAME=VALUE strings
    std::vector<std::string> cookieFiles;  // -b FILE
    std::string cookieJar;                 // -c
    std::string userAgent;                 // -A; empty sends no User-Agent
    bool userAgentGiven = false;
    std::string referer;        // -e
    std::string proxy;          // -x
    std::string writeOut;       // -w
    std::string headerDump;     // -D
    std::string traceFile;      // --trace / --trace-ascii
    std::string clientName;     // --client
    std::string urlEncodeText;  // --urlencode
    int timeoutMs = 0;          // -m; 0 leaves the transfer without a time-out
    int connectTimeoutMs = 0;   // --connect-timeout
    int maxRedirs = 50;         // --max-redirs; -1: no limit (curl's default is 50)
    int retries = 0;            // --retry
    int retryDelaySeconds = 0;  // --retry-delay; 0 doubles from one second
    HttpVersion httpVersion = HttpVersion::Default;
    TraceMode trace = TraceMode::None;  // the last of -v, --trace, --trace-ascii, --trace-log
    bool includeHeaders = false;        // -i
    bool fail = false;                  // -f
    bool followRedirects = false;       // -L
    bool compressed = false;            // --compressed
    bool skipPeerVerify = false;        // -k
    bool requireSsl = false;            // --ssl-reqd
    bool silent = false;                // -s
    bool showError = false;             // -S
    bool libraryLog = false;            // --library-log
    bool dynamicTppm = false;           // --dynamic-tppm
    bool hasClient = false;             // --client given (an empty name still routes)
    bool globOff = false;               // -g: {} and [] in URLs are no globs

    std::vector<CurlSetting> curlSettings;  // --raw, --interface, -j, --http0.9, --path-as-is, ...
    long httpAuth = 0;                      // CURLAUTH_* of --basic --digest --ntlm --negotiate --anyauth
    long proxyAuth = 0;                     // the same for the proxy: --proxy-basic ... --proxy-anyauth
    std::string proxyUserPassword;          // -U
    bool hasProxyUser = false;
    long proxyType = CURLPROXY_HTTP;        // --proxy1.0, --socks4 ... with the proxy they name
    long postRedirect = 0;                  // CURL_REDIR_POST_* of --post301 --post302 --post303
    long netrc = CURL_NETRC_IGNORED;        // -n, --netrc-optional, --netrc-file
    std::vector<std::string> resolve;       // --resolve
    std::vector<std::string> connectTo;     // --connect-to
    std::vector<std::string> proxyHeaders;  // --proxy-header
    long resumeFrom = 0;                    // -C N
    bool resumeFromCurrent = false;         // -C -: from the output file's size
    std::string etagCompare;                // --etag-compare
    std::string etagSave;                   // --etag-save
    bool failWithBody = false;              // --fail-with-body
    int retryMaxTimeSeconds = 0;            // --retry-max-time; 0: no limit
    bool noProgressMeter = false;           // --no-progress-meter
    bool appendTrace = false;               // a transfer after --next adds to the trace file
    bool failEarly = false;                 // --fail-early
    bool retryAllErrors = false;            // --retry-all-errors
    std::string outputDir;                  // --output-dir: where relative -o and -O files go
    bool remoteNameAll = false;             // --remote-name-all: -O for each URL without -o
    bool remoteHeaderName = false;          // -J: -O takes the Content-Disposition file name
    bool noClobber = false;                 // --no-clobber: an existing output file gets a number added
    std::vector<DataItem> urlQuery;         // --url-query, as --data-urlencode ("+..." as given)

    bool hasData() const { return !data.empty(); }
    bool showsErrors() const { return !silent || showError; }
    bool showsProgress() const { return !silent && !noProgressMeter; }
    bool showsWarnings() const { return !silent; }
    bool verbose() const { return trace == TraceMode::Verbose; }
};

struct ParseResult {
    bool ok = false;
    Options options;
    std::vector<Options> nextOperations;  // the transfers after each --next, in order
    std::string error;                    // one line naming what is wrong, when !ok
};

ParseResult ParseOptions(int argc, const char* const* argv);

}  // namespace kycurl

#endif
