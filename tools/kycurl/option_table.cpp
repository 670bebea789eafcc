#include "option_table.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "request_body.h"

namespace kycurl {

namespace {

// The library's own method names, one per request type below HTTP_REQ_UNKNOWN; any letter case.
bool ParseMethod(const std::string& text, _http_req_type_& method) {
    for (int32_t value = HTTP_REQ_GET; value < HTTP_REQ_UNKNOWN; ++value) {
        const auto type = static_cast<_http_req_type_>(value);
        if (strcasecmp(text.c_str(), KYLibCurl::GetHttpReqTypeString(type)) == 0) {
            method = type;
            return true;
        }
    }
    return false;
}

// Seconds, fractions allowed; 0 means none. Anything shorter than a millisecond waits one.
bool ParseSeconds(const std::string& text, int& ms) {
    if (text.empty()) return false;
    char* end = nullptr;
    double seconds = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(seconds) || seconds < 0) return false;
    double rounded = std::ceil(seconds * 1000.0);
    if (rounded > INT_MAX) return false;
    ms = static_cast<int>(rounded);
    return true;
}

// A whole number from lowest up.
bool ParseCount(const std::string& text, long lowest, int& count) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || value < lowest || value > INT_MAX) return false;
    count = static_cast<int>(value);
    return true;
}

// The message of a value that does not parse: "bad <what> '<value>' (<hint>)".
bool Bad(std::string& error, const char* what, const std::string& value, const char* hint) {
    error = std::string("bad ") + what + " '" + value + "' (" + hint + ")";
    return false;
}

bool ApplyMethod(Options& o, const std::string& v, std::string& error) {
    if (!ParseMethod(v, o.method)) {
        error = "unknown method '" + v + "' (use GET, POST, PUT, DELETE, HEAD or PATCH)";
        return false;
    }
    o.methodGiven = true;
    return true;
}

bool AddHeaderLine(Options& o, const std::string& line, std::string& error) {
    if (line.find_first_of(":;") == std::string::npos) {
        error = "header '" + line + "' has no ':' (use -H 'Name: value')";
        return false;
    }
    o.headers.push_back(line);
    return true;
}

// "@file" reads the header lines from the file ("@-": standard input), one a line, as curl does: empty
// lines are passed over, and so is a line without ':' or ';', which libcurl would not send.
bool ApplyHeader(Options& o, const std::string& v, std::string& error) {
    if (v.empty() || v[0] != '@') return AddHeaderLine(o, v, error);
    std::string text;
    if (!ReadInput(v.substr(1), text, error)) return false;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find_first_of("\r\n", start), text.size());
        const std::string line = text.substr(start, end - start);
        if (line.find_first_of(":;") != std::string::npos) o.headers.push_back(line);
        start = end + 1;
    }
    return true;
}

bool ApplyTimeout(Options& o, const std::string& v, std::string& error) {
    return ParseSeconds(v, o.timeoutMs) || Bad(error, "time-out", v, "seconds, e.g. 5 or 0.5");
}

bool ApplyConnectTimeout(Options& o, const std::string& v, std::string& error) {
    return ParseSeconds(v, o.connectTimeoutMs) || Bad(error, "connect time-out", v, "seconds, e.g. 5 or 0.5");
}

bool ApplyMaxRedirs(Options& o, const std::string& v, std::string& error) {
    return ParseCount(v, -1, o.maxRedirs) || Bad(error, "--max-redirs", v, "a number, -1 for no limit");
}

bool ApplyRetry(Options& o, const std::string& v, std::string& error) {
    return ParseCount(v, 0, o.retries) || Bad(error, "--retry", v, "a number of retries");
}

bool ApplyRetryDelay(Options& o, const std::string& v, std::string& error) {
    return ParseCount(v, 0, o.retryDelaySeconds) || Bad(error, "--retry-delay", v, "whole seconds");
}

template <DataFlavour flavour>
bool ApplyData(Options& o, const std::string& v, std::string&) {
    o.data.push_back({flavour, v});
    return true;
}

// A value holding '=' is a cookie string; anything else names a cookie file.
bool ApplyCookie(Options& o, const std::string& v, std::string&) {
    (v.find('=') != std::string::npos ? o.cookies : o.cookieFiles).push_back(v);
    return true;
}

bool ApplyOutput(Options& o, const std::string& v, std::string&) {
    o.outputs.push_back({false, v});
    return true;
}

bool ApplyRemoteName(Options& o, const std::string&, std::string&) {
    o.outputs.push_back({true, ""});
    return true;
}

bool ApplyUpload(Options& o, const std::string& v, std::string&) {
    o.uploads.push_back(v);
    return true;
}

template <bool literal>
bool ApplyForm(Options& o, const std::string& v, std::string& error) {
    size_t equals = v.find('=');
    if (equals == std::string::npos || equals == 0) {
        error = "form part '" + v + "' is not NAME=VALUE, NAME=@FILE or NAME=<FILE";
        return false;
    }
    o.formParts.push_back({v, literal});
    return true;
}

bool ApplyUser(Options& o, const std::string& v, std::string&) {
    o.userPassword = v;
    o.hasUser = true;
    return true;
}

bool ApplyUserAgent(Options& o, const std::string& v, std::string&) {
    o.userAgent = v;
    o.userAgentGiven = true;
    return true;
}

template <TraceMode mode>
bool ApplyTrace(Options& o, const std::string& v, std::string&) {
    o.trace = mode;
    o.traceFile = v;
    return true;
}

template <HttpVersion version>
bool ApplyHttpVersion(Options& o, const std::string&, std::string&) {
    o.httpVersion = version;
    return true;
}

template <std::string Options::*field>
bool ApplyText(Options& o, const std::string& v, std::string&) {
    o.*field = v;
    return true;
}

template <bool Options::*field>
bool ApplyFlag(Options& o, const std::string&, std::string&) {
    o.*field = true;
    return true;
}

template <Mode mode>
bool ApplyMode(Options& o, const std::string&, std::string&) {
    o.mode = mode;
    return true;
}

bool ApplyClient(Options& o, const std::string& v, std::string&) {
    o.clientName = v;
    o.hasClient = true;
    return true;
}

bool ApplyUrlEncode(Options& o, const std::string& v, std::string&) {
    o.urlEncodeText = v;
    o.mode = Mode::UrlEncode;
    return true;
}

constexpr const char* kHttp = kOptionGroups[0];
constexpr const char* kPost = kOptionGroups[1];
constexpr const char* kUpload = kOptionGroups[2];
constexpr const char* kOutput = kOptionGroups[3];
constexpr const char* kConnection = kOptionGroups[4];
constexpr const char* kTls = kOptionGroups[5];
constexpr const char* kVerbose = kOptionGroups[6];
constexpr const char* kRouting = kOptionGroups[7];
constexpr const char* kMisc = kOptionGroups[8];

const OptionSpec kOptions[] = {
    {'X', "request", "<method>", kHttp, true, "GET, POST, PUT, DELETE, HEAD or PATCH", ApplyMethod},
    {'H', "header", "<header>", kHttp, true, "Header 'Name: value', @file: lines (repeatable)", ApplyHeader},
    {'u', "user", "<user:password>", kHttp, true, "Server user and password", ApplyUser},
    {'A', "user-agent", "<name>", kHttp, false, "User-Agent to send (default kycurl/<version>)",
     ApplyUserAgent},
    {'e', "referer", "<URL>", kHttp, false, "Referer URL", ApplyText<&Options::referer>},
    {'b', "cookie", "<data|file>", kHttp, false, "Cookies 'NAME=VALUE; ...', or a file to read", ApplyCookie},
    {'c', "cookie-jar", "<file>", kHttp, false, "Write the cookies to <file> at the end",
     ApplyText<&Options::cookieJar>},
    {'L', "location", nullptr, kHttp, true, "Follow redirects", ApplyFlag<&Options::followRedirects>},
    {0, "max-redirs", "<num>", kHttp, false, "Follow at most <num> redirects (50; -1: any)", ApplyMaxRedirs},
    {'I', "head", nullptr, kHttp, false, "HEAD request; show the reply header lines only",
     ApplyFlag<&Options::head>},
    {'G', "get", nullptr, kHttp, false, "Send the -d data in the URL's query with GET",
     ApplyFlag<&Options::dataAsQuery>},
    {'f', "fail", nullptr, kHttp, true, "Fail with exit 22 on HTTP status 400 and above",
     ApplyFlag<&Options::fail>},
    {0, "compressed", nullptr, kHttp, false, "Ask for a compressed reply and decompress it",
     ApplyFlag<&Options::compressed>},
    {0, "http1.1", nullptr, kHttp, false, "Use HTTP/1.1", ApplyHttpVersion<HttpVersion::Http11>},
    {0, "http2", nullptr, kHttp, false, "Use HTTP/2 (upgrade from HTTP/1.1 on http://)",
     ApplyHttpVersion<HttpVersion::Http2>},
    {'d', "data", "<data>", kPost, true, "POST data; '@file' without CR/LF, '@-' stdin",
     ApplyData<DataFlavour::Ascii>},
    {0, "data-binary", "<data>", kPost, false, "POST data; '@file' sent byte for byte",
     ApplyData<DataFlavour::Binary>},
    {0, "data-raw", "<data>", kPost, false, "POST data without the '@' meaning", ApplyData<DataFlavour::Raw>},
    {0, "data-urlencode", "<data>", kPost, false, "POST [name]=text or [name]@file, form-encoded",
     ApplyData<DataFlavour::UrlEncode>},
    {0, "json", "<data>", kPost, false, "POST JSON data (JSON Content-Type and Accept)",
     ApplyData<DataFlavour::Json>},
    {'F', "form", "<name=content>", kPost, true, "Multipart form part: name=value, name=@file",
     ApplyForm<false>},
    {'T', "upload-file", "<file>", kUpload, true, "PUT <file> ('-': standard input, chunked)", ApplyUpload},
    {'o', "output", "<file>", kOutput, true, "Write the reply to <file> ('-': stdout)", ApplyOutput},
    {'O', "remote-name", nullptr, kOutput, false, "Write the reply to a file named as the URL's",
     ApplyRemoteName},
    {'i', "include", nullptr, kOutput, true, "Write the reply header lines before the body",
     ApplyFlag<&Options::includeHeaders>},
    {'D', "dump-header", "<file>", kOutput, false, "Write the reply header lines to <file>",
     ApplyText<&Options::headerDump>},
    {'w', "write-out", "<format>", kOutput, false, "Write <format> after each transfer",
     ApplyText<&Options::writeOut>},
    {'s', "silent", nullptr, kOutput, true, "No progress bar and no messages", ApplyFlag<&Options::silent>},
    {'S', "show-error", nullptr, kOutput, false, "With -s, still show error messages",
     ApplyFlag<&Options::showError>},
    {'m', "max-time", "<seconds>", kConnection, false, "Give up after <seconds> (status 602)", ApplyTimeout},
    {0, "connect-timeout", "<seconds>", kConnection, false, "Give up connecting after <seconds>",
     ApplyConnectTimeout},
    {0, "retry", "<num>", kConnection, false, "Retry time-outs, 408 429 500 502 503 504", ApplyRetry},
    {0, "retry-delay", "<seconds>", kConnection, false, "Wait between retries (default 1 s, doubling)",
     ApplyRetryDelay},
    {'x', "proxy", "<host[:port]>", kConnection, false, "Use this proxy", ApplyText<&Options::proxy>},
    {0, "cacert", "<file>", kTls, false, "Verify the server with the CAs in <file>",
     ApplyText<&Options::caFile>},
    {'k', "insecure", nullptr, kTls, true, "Skip the check of the server's certificate",
     ApplyFlag<&Options::skipPeerVerify>},
    {0, "ssl-reqd", nullptr, kTls, false, "Require TLS", ApplyFlag<&Options::requireSsl>},
    {'v', "verbose", nullptr, kVerbose, true, "Show the exchange on stderr as curl does",
     ApplyTrace<TraceMode::Verbose>},
    {0, "trace", "<file>", kVerbose, false, "Write a hex trace of the exchange to <file>",
     ApplyTrace<TraceMode::Hex>},
    {0, "trace-ascii", "<file>", kVerbose, false, "Write a text trace of the exchange to <file>",
     ApplyTrace<TraceMode::Ascii>},
    {0, "trace-log", nullptr, kVerbose, false, "Append the library's own trace to ./log.txt",
     ApplyTrace<TraceMode::LibraryLogTxt>},
    {0, "library-log", nullptr, kVerbose, false, "Show the library's log lines on stderr",
     ApplyFlag<&Options::libraryLog>},
    {0, "form-string", "<name=string>", kPost, false, "Form part whose value is taken as given",
     ApplyForm<true>},
    {'g', "globoff", nullptr, kHttp, false, "No URL globbing: {} and [] are the URL's own",
     ApplyFlag<&Options::globOff>},
    {0, "client", "<name>", kRouting, false, "Route to client <name> (tunnel if need be)", ApplyClient},
    {0, "dynamic-tppm", nullptr, kRouting, false, "With --client: always tunnel; reconnect once",
     ApplyFlag<&Options::dynamicTppm>},
    {0, "probe", nullptr, kRouting, false, "With --client: print which route answers",
     ApplyMode<Mode::Probe>},
    {0, "urlencode", "<text>", kMisc, false, "Print the form encoding of <text>", ApplyUrlEncode},
    {'h', "help", "[group]", kMisc, true, "This help; '--help all' for every option", nullptr},
    {'V', "version", nullptr, kMisc, false, "Print the version", ApplyMode<Mode::Version>},
};

}  // namespace

const OptionSpec* OptionsBegin() { return std::begin(kOptions); }
const OptionSpec* OptionsEnd() { return std::end(kOptions); }

const OptionSpec* FindShortOption(char name) {
    for (const OptionSpec& entry : kOptions) {
        if (entry.shortName == name) return &entry;
    }
    return nullptr;
}

const OptionSpec* FindLongOption(const std::string& name) {
    for (const OptionSpec& entry : kOptions) {
        if (name == entry.longName) return &entry;
    }
    return nullptr;
}

}  // namespace kycurl
