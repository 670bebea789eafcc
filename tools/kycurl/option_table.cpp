#include "option_table.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "messages.h"
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

// A method token: printable, without spaces or separators a request line cannot hold.
bool IsMethodToken(const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : text) {
        if (c <= ' ' || c >= 0x7f || std::strchr("()<>@,;:\\\"/[]?={}", c)) return false;
    }
    return true;
}

// The library's six methods by type; any other, as curl, by name on the request the body implies.
bool ApplyMethod(Options& o, const std::string& v, std::string& error) {
    o.customMethod.clear();
    o.methodGiven = ParseMethod(v, o.method);
    if (o.methodGiven) return true;
    if (!IsMethodToken(v)) {
        error = "bad method '" + v + "' (a method name such as GET, POST or PROPFIND)";
        return false;
    }
    o.customMethod = v;
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

// curl's options that set libcurl switches, and those the tool carries out itself (config files, --next,
// etags, -C -, --fail-with-body).

template <CURLoption option, long value>
bool SetSwitch(Options& o, const std::string&, std::string&) {
    o.curlSettings.push_back({option, SettingKind::Number, value, ""});
    return true;
}

template <CURLoption option>
bool SetCurlText(Options& o, const std::string& v, std::string&) {
    o.curlSettings.push_back({option, SettingKind::Text, 0, v});
    return true;
}

void SetOffset(Options& o, CURLoption option, long value) {
    o.curlSettings.push_back({option, SettingKind::Offset, value, ""});
}

// --raw: the reply as it came, neither decompressed nor de-chunked.
bool ApplyRaw(Options& o, const std::string& v, std::string& error) {
    return SetSwitch<CURLOPT_HTTP_CONTENT_DECODING, 0>(o, v, error) &&
           SetSwitch<CURLOPT_HTTP_TRANSFER_DECODING, 0>(o, v, error);
}

// The CURLAUTH_* bits are unsigned long; libcurl's option takes them as a long.
template <unsigned long method>
bool AddAuth(Options& o, const std::string&, std::string&) {
    o.httpAuth |= static_cast<long>(method);
    return true;
}

bool ApplyAnyAuth(Options& o, const std::string&, std::string&) {
    o.httpAuth = static_cast<long>(CURLAUTH_ANY);
    return true;
}

// curl asks the proxy for one method: the widest of those given.
int ProxyAuthRank(unsigned long method) {
    const unsigned long order[] = {
        0, CURLAUTH_BASIC, CURLAUTH_DIGEST, CURLAUTH_NTLM, CURLAUTH_NEGOTIATE, CURLAUTH_ANY};
    return static_cast<int>(std::find(std::begin(order), std::end(order), method) - std::begin(order));
}

template <unsigned long method>
bool SetProxyAuth(Options& o, const std::string&, std::string&) {
    if (ProxyAuthRank(method) > ProxyAuthRank(static_cast<unsigned long>(o.proxyAuth)))
        o.proxyAuth = static_cast<long>(method);
    return true;
}

bool ApplyProxyUser(Options& o, const std::string& v, std::string&) {
    o.proxyUserPassword = v;
    o.hasProxyUser = true;
    return true;
}

template <long type>
bool ApplyProxy(Options& o, const std::string& v, std::string&) {
    o.proxy = v;
    o.proxyType = type;
    return true;
}

template <long bit>
bool AddPostRedirect(Options& o, const std::string&, std::string&) {
    o.postRedirect |= bit;
    return true;
}

template <std::vector<std::string> Options::*field>
bool AddToList(Options& o, const std::string& v, std::string&) {
    (o.*field).push_back(v);
    return true;
}

template <bool Options::*field>
bool ClearFlag(Options& o, const std::string&, std::string&) {
    o.*field = false;
    return true;
}

bool ApplyUrl(Options& o, const std::string& v, std::string& error) {
    if (v.empty()) {
        error = "the URL is empty";
        return false;
    }
    o.urls.push_back(v);
    return true;
}

// A byte count; with k, m or g (any case) kibi-, mebi- or gibibytes, as curl reads sizes.
bool ParseSize(const std::string& text, long& size) {
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text.c_str(), &end, 10);
    if (errno != 0) return false;
    int shift = 0;
    switch (tolower(static_cast<unsigned char>(*end))) {
        case '\0':
            break;
        case 'k':
            shift = 10;
            break;
        case 'm':
            shift = 20;
            break;
        case 'g':
            shift = 30;
            break;
        default:
            return false;
    }
    if (shift != 0 && end[1] != '\0') return false;
    if (value > (LONG_MAX >> shift)) return false;
    size = value << shift;
    return true;
}

bool ApplyMaxFilesize(Options& o, const std::string& v, std::string& error) {
    long size = 0;
    if (!ParseSize(v, size)) return Bad(error, "--max-filesize", v, "bytes, or a number with k, M or G");
    SetOffset(o, CURLOPT_MAXFILESIZE_LARGE, size);
    return true;
}

// "-" continues from the size of the output file (for -T: of what the server has).
bool ApplyContinueAt(Options& o, const std::string& v, std::string& error) {
    o.resumeFromCurrent = v == "-";
    if (o.resumeFromCurrent) return true;
    char* end = nullptr;
    errno = 0;
    long offset = strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || errno != 0 || offset < 0)
        return Bad(error, "-C", v, "a byte offset or -");
    o.resumeFrom = offset;
    return true;
}

// As curl, a range of digits alone is taken as from there to the end.
bool ApplyRange(Options& o, const std::string& v, std::string& error) {
    if (!v.empty() && isdigit(static_cast<unsigned char>(v[0])) && v.find('-') == std::string::npos) {
        PrintWarning("A specified range MUST include at least one dash (-). Appending one for you!");
        return SetCurlText<CURLOPT_RANGE>(o, v + "-", error);
    }
    return SetCurlText<CURLOPT_RANGE>(o, v, error);
}

// "[+|-|=]DATE|FILE": if modified since, if unmodified since, or modified at that time; a file gives its
// modification time. Neither a date nor a file: a warning, and no condition, as in curl.
bool ApplyTimeCondition(Options& o, const std::string& v, std::string&) {
    long condition = CURL_TIMECOND_IFMODSINCE;
    std::string when = v;
    if (!when.empty() && (when[0] == '+' || when[0] == '-' || when[0] == '=')) {
        condition = when[0] == '-'   ? CURL_TIMECOND_IFUNMODSINCE
                    : when[0] == '=' ? CURL_TIMECOND_LASTMOD
                                     : CURL_TIMECOND_IFMODSINCE;
        when.erase(0, 1);
    }
    time_t now = time(nullptr);
    long stamp = static_cast<long>(curl_getdate(when.c_str(), &now));
    struct stat info {};
    if (stamp == -1 && stat(when.c_str(), &info) == 0) stamp = static_cast<long>(info.st_mtime);
    if (stamp == -1) {
        PrintWarning(
            "Illegal date format for -z, --time-cond (and not a file name). Disabling time condition. See "
            "curl_getdate(3) for valid date syntax.");
        condition = CURL_TIMECOND_NONE;
        stamp = 0;
    }
    o.curlSettings.push_back({CURLOPT_TIMECONDITION, SettingKind::Number, condition, ""});
    SetOffset(o, CURLOPT_TIMEVALUE_LARGE, stamp);
    return true;
}

bool ApplyLocationTrusted(Options& o, const std::string& v, std::string& error) {
    o.followRedirects = true;
    return SetSwitch<CURLOPT_UNRESTRICTED_AUTH, 1>(o, v, error);
}

template <long mode>
bool ApplyNetrc(Options& o, const std::string&, std::string&) {
    if (mode == CURL_NETRC_OPTIONAL || o.netrc != CURL_NETRC_OPTIONAL) o.netrc = mode;
    return true;
}

bool ApplyNetrcFile(Options& o, const std::string& v, std::string& error) {
    if (o.netrc == CURL_NETRC_IGNORED) o.netrc = CURL_NETRC_REQUIRED;
    return SetCurlText<CURLOPT_NETRC_FILE>(o, v, error);
}

// "+text" goes into the query as it is; anything else is form-encoded as --data-urlencode encodes it.
bool ApplyUrlQuery(Options& o, const std::string& v, std::string&) {
    if (!v.empty() && v[0] == '+') {
        o.urlQuery.push_back({DataFlavour::Raw, v.substr(1)});
    } else {
        o.urlQuery.push_back({DataFlavour::UrlEncode, v});
    }
    return true;
}

bool ApplyNoRemoteName(Options& o, const std::string&, std::string&) {
    o.outputs.push_back({false, "-"});
    return true;
}

bool ApplyRetryMaxTime(Options& o, const std::string& v, std::string& error) {
    return ParseCount(v, 0, o.retryMaxTimeSeconds) || Bad(error, "--retry-max-time", v, "whole seconds");
}

// --next and --config change what the parser reads; it handles them by name.
bool ParserHandles(Options&, const std::string&, std::string&) { return true; }

constexpr const char* kHttp = kOptionGroups[0];
constexpr const char* kAuth = kOptionGroups[1];
constexpr const char* kPost = kOptionGroups[2];
constexpr const char* kUpload = kOptionGroups[3];
constexpr const char* kOutput = kOptionGroups[4];
constexpr const char* kTransfer = kOptionGroups[5];
constexpr const char* kConnection = kOptionGroups[6];
constexpr const char* kProxy = kOptionGroups[7];
constexpr const char* kTls = kOptionGroups[8];
constexpr const char* kVerbose = kOptionGroups[9];
constexpr const char* kRouting = kOptionGroups[10];
constexpr const char* kMisc = kOptionGroups[11];

const OptionSpec kOptions[] = {
    {'X', "request", "<method>", kHttp, true, "GET, POST, PUT, DELETE or any other", ApplyMethod},
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
    {'x', "proxy", "<host[:port]>", kProxy, false, "Use this proxy", ApplyProxy<CURLPROXY_HTTP>},
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
    // curl's options beyond the basics, together.
    {0, "basic", nullptr, kAuth, false, "Offer Basic authentication (the default)", AddAuth<CURLAUTH_BASIC>},
    {0, "digest", nullptr, kAuth, false, "Use Digest authentication", AddAuth<CURLAUTH_DIGEST>},
    {0, "ntlm", nullptr, kAuth, false, "Use NTLM authentication", AddAuth<CURLAUTH_NTLM>},
    {0, "negotiate", nullptr, kAuth, false, "Use SPNEGO (Negotiate) authentication",
     AddAuth<CURLAUTH_NEGOTIATE>},
    {0, "anyauth", nullptr, kAuth, false, "Let the server's 401 pick the authentication", ApplyAnyAuth},
    {0, "location-trusted", nullptr, kAuth, false, "As -L; credentials go to other hosts too",
     ApplyLocationTrusted},
    {0, "post301", nullptr, kTransfer, false, "Keep POST after a 301 redirect",
     AddPostRedirect<CURL_REDIR_POST_301>},
    {0, "post302", nullptr, kTransfer, false, "Keep POST after a 302 redirect",
     AddPostRedirect<CURL_REDIR_POST_302>},
    {0, "post303", nullptr, kTransfer, false, "Keep POST after a 303 redirect",
     AddPostRedirect<CURL_REDIR_POST_303>},
    {'r', "range", "<range>", kTransfer, false, "Ask for bytes <range> only, e.g. 0-99,200-", ApplyRange},
    {'z', "time-cond", "<time|file>", kTransfer, false, "Only if modified since (-: unmodified, =: at)",
     ApplyTimeCondition},
    {0, "etag-compare", "<file>", kTransfer, false, "Only if the ETag differs from the one in <file>",
     ApplyText<&Options::etagCompare>},
    {0, "etag-save", "<file>", kTransfer, false, "Write the reply's ETag to <file>",
     ApplyText<&Options::etagSave>},
    {0, "fail-with-body", nullptr, kTransfer, false, "As -f, but write the reply body too",
     ApplyFlag<&Options::failWithBody>},
    {'j', "junk-session-cookies", nullptr, kHttp, false, "Leave out the session cookies of -b files",
     SetSwitch<CURLOPT_COOKIESESSION, 1>},
    {'0', "http1.0", nullptr, kHttp, false, "Use HTTP/1.0", ApplyHttpVersion<HttpVersion::Http10>},
    {0, "http0.9", nullptr, kHttp, false, "Accept a reply of HTTP/0.9", SetSwitch<CURLOPT_HTTP09_ALLOWED, 1>},
    {0, "raw", nullptr, kTransfer, false, "Neither decompress nor de-chunk the reply", ApplyRaw},
    {0, "tr-encoding", nullptr, kTransfer, false, "Ask for a compressed Transfer-Encoding",
     SetSwitch<CURLOPT_TRANSFER_ENCODING, 1>},
    {0, "ignore-content-length", nullptr, kTransfer, false, "Read the reply to its end, whatever its length",
     SetSwitch<CURLOPT_IGNORE_CONTENT_LENGTH, 1>},
    {0, "request-target", "<path>", kTransfer, false, "Send <path> as the request's target",
     SetCurlText<CURLOPT_REQUEST_TARGET>},
    {0, "path-as-is", nullptr, kTransfer, false, "Keep /../ and /./ in the URL's path",
     SetSwitch<CURLOPT_PATH_AS_IS, 1>},
    {0, "hsts", "<file>", kConnection, false, "Keep HSTS hosts in <file>; go to https for them",
     SetCurlText<CURLOPT_HSTS>},
    {0, "alt-svc", "<file>", kConnection, false, "Keep Alt-Svc entries in <file>",
     SetCurlText<CURLOPT_ALTSVC>},
    {'n', "netrc", nullptr, kAuth, false, "Take the credentials from ~/.netrc",
     ApplyNetrc<CURL_NETRC_REQUIRED>},
    {0, "netrc-optional", nullptr, kAuth, false, "Take credentials the URL lacks from ~/.netrc",
     ApplyNetrc<CURL_NETRC_OPTIONAL>},
    {0, "netrc-file", "<file>", kAuth, false, "As -n, from <file>", ApplyNetrcFile},
    {0, "url", "<URL>", kHttp, false, "A URL to send to (as a URL argument)", ApplyUrl},
    {'C', "continue-at", "<offset|->", kTransfer, false, "Resume at <offset>; '-': after the output file",
     ApplyContinueAt},
    {0, "max-filesize", "<bytes>", kTransfer, false, "Refuse a reply larger than <bytes> (exit 63)",
     ApplyMaxFilesize},
    {0, "no-include", nullptr, kOutput, false, "Do not write the reply header lines (undoes -i)",
     ClearFlag<&Options::includeHeaders>},
    {0, "no-progress-meter", nullptr, kOutput, false, "No progress bar, messages still shown",
     ApplyFlag<&Options::noProgressMeter>},
    {'U', "proxy-user", "<user:password>", kAuth, false, "Proxy user and password", ApplyProxyUser},
    {0, "proxy-basic", nullptr, kAuth, false, "Basic authentication with the proxy",
     SetProxyAuth<CURLAUTH_BASIC>},
    {0, "proxy-digest", nullptr, kAuth, false, "Digest authentication with the proxy",
     SetProxyAuth<CURLAUTH_DIGEST>},
    {0, "proxy-ntlm", nullptr, kAuth, false, "NTLM authentication with the proxy",
     SetProxyAuth<CURLAUTH_NTLM>},
    {0, "proxy-negotiate", nullptr, kAuth, false, "SPNEGO authentication with the proxy",
     SetProxyAuth<CURLAUTH_NEGOTIATE>},
    {0, "proxy-anyauth", nullptr, kAuth, false, "Let the proxy's 407 pick the authentication",
     SetProxyAuth<CURLAUTH_ANY>},
    {'p', "proxytunnel", nullptr, kProxy, false, "Tunnel through the proxy with CONNECT",
     SetSwitch<CURLOPT_HTTPPROXYTUNNEL, 1>},
    {0, "proxy1.0", "<host[:port]>", kProxy, false, "Use this HTTP/1.0 proxy",
     ApplyProxy<CURLPROXY_HTTP_1_0>},
    {0, "proxy-header", "<header>", kProxy, false, "A header line for the proxy only (repeatable)",
     AddToList<&Options::proxyHeaders>},
    {0, "socks4", "<host[:port]>", kProxy, false, "Use this SOCKS4 proxy", ApplyProxy<CURLPROXY_SOCKS4>},
    {0, "socks4a", "<host[:port]>", kProxy, false, "Use this SOCKS4a proxy", ApplyProxy<CURLPROXY_SOCKS4A>},
    {0, "socks5", "<host[:port]>", kProxy, false, "Use this SOCKS5 proxy, names resolved here",
     ApplyProxy<CURLPROXY_SOCKS5>},
    {0, "socks5-hostname", "<host[:port]>", kProxy, false, "Use this SOCKS5 proxy, names resolved there",
     ApplyProxy<CURLPROXY_SOCKS5_HOSTNAME>},
    {0, "resolve", "<host:port:addr>", kConnection, false, "Take <addr> for host:port (repeatable)",
     AddToList<&Options::resolve>},
    {0, "connect-to", "<h1:p1:h2:p2>", kConnection, false, "Connect to h2:p2 for h1:p1 (repeatable)",
     AddToList<&Options::connectTo>},
    {0, "interface", "<name>", kConnection, false, "Send from this interface, address or host",
     SetCurlText<CURLOPT_INTERFACE>},
    {0, "no-keepalive", nullptr, kConnection, false, "No TCP keepalive probes",
     SetSwitch<CURLOPT_TCP_KEEPALIVE, 0>},
    {0, "retry-max-time", "<seconds>", kConnection, false, "Retry only within <seconds> of the first try",
     ApplyRetryMaxTime},
    {0, "noproxy", "<hosts>", kProxy, false, "Reach these hosts without the proxy ('*': all)",
     SetCurlText<CURLOPT_NOPROXY>},
    {0, "haproxy-protocol", nullptr, kProxy, false, "Send a HAProxy PROXY line first",
     SetSwitch<CURLOPT_HAPROXYPROTOCOL, 1>},
    {'4', "ipv4", nullptr, kConnection, false, "Resolve names to IPv4 addresses only",
     SetSwitch<CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4>},
    {'6', "ipv6", nullptr, kConnection, false, "Resolve names to IPv6 addresses only",
     SetSwitch<CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V6>},
    {0, "retry-all-errors", nullptr, kConnection, false, "With --retry: retry every failure",
     ApplyFlag<&Options::retryAllErrors>},
    {0, "no-http0.9", nullptr, kTransfer, false, "Refuse a reply of HTTP/0.9 (the default)",
     SetSwitch<CURLOPT_HTTP09_ALLOWED, 0>},
    {'B', "use-ascii", nullptr, kTransfer, false, "Transfer in text mode",
     SetSwitch<CURLOPT_TRANSFERTEXT, 1>},
    {0, "output-dir", "<dir>", kOutput, false, "Put the -o and -O files in <dir>",
     ApplyText<&Options::outputDir>},
    {0, "remote-name-all", nullptr, kOutput, false, "As -O for every URL without -o",
     ApplyFlag<&Options::remoteNameAll>},
    {0, "no-remote-name", nullptr, kOutput, false, "The next URL to stdout (undoes -O)", ApplyNoRemoteName},
    {0, "no-clobber", nullptr, kOutput, false, "Keep existing files: write NAME.1 and on",
     ApplyFlag<&Options::noClobber>},
    {0, "clobber", nullptr, kOutput, false, "Overwrite an existing output file (the default)",
     ClearFlag<&Options::noClobber>},
    {0, "url-query", "<data>", kPost, false, "Add to the query, encoded as --data-urlencode", ApplyUrlQuery},
    {'J', "remote-header-name", nullptr, kOutput, false, "With -O, the name the Content-Disposition gives",
     ApplyFlag<&Options::remoteHeaderName>},
    {0, "fail-early", nullptr, kMisc, false, "Stop at the first URL that fails",
     ApplyFlag<&Options::failEarly>},
    {'K', "config", "<file>", kMisc, false, "Read options from <file> ('-': stdin)", ParserHandles},
    {':', "next", nullptr, kMisc, false, "Start the options of a further transfer", ParserHandles},
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
