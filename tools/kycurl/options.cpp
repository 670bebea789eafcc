#include "options.h"

#include <strings.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace kycurl {

namespace {

// The library keeps the content-type line in a 200-byte field, zero-terminated.
constexpr size_t kMaxContentTypeLine = 199;

using Apply = bool (*)(Options&, const std::string& value, std::string& error);

struct OptionSpec {
    char shortName;  // 0 when the option has only a long name
    const char* longName;
    bool takesValue;
    Apply apply;
};

bool ParseMethod(const std::string& text, _http_req_type_& method) {
    static const struct {
        const char* name;
        _http_req_type_ type;
    } kMethods[] = {
        {"GET", HTTP_REQ_GET},       {"POST", HTTP_REQ_POST}, {"PUT", HTTP_REQ_PUT},
        {"DELETE", HTTP_REQ_DELETE}, {"HEAD", HTTP_REQ_HEAD}, {"PATCH", HTTP_REQ_PATCH},
    };
    for (const auto& entry : kMethods) {
        if (strcasecmp(text.c_str(), entry.name) == 0) {
            method = entry.type;
            return true;
        }
    }
    return false;
}

// Seconds, fractions allowed; 0 means no time-out. Anything shorter than a millisecond waits one.
bool ParseTimeout(const std::string& text, int& timeoutMs) {
    if (text.empty()) return false;
    char* end = nullptr;
    double seconds = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(seconds) || seconds < 0) return false;
    double ms = std::ceil(seconds * 1000.0);
    if (ms > INT_MAX) return false;
    timeoutMs = static_cast<int>(ms);
    return true;
}

// The name part of a header line: up to ':' (or ';', which sends a header with an empty value).
std::string HeaderName(const std::string& line) {
    std::string name = line.substr(0, line.find_first_of(":;"));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    return name;
}

bool ApplyMethod(Options& o, const std::string& v, std::string& error) {
    if (!ParseMethod(v, o.method)) {
        error = "unknown method '" + v + "' (use GET, POST, PUT, DELETE, HEAD or PATCH)";
        return false;
    }
    o.methodGiven = true;
    return true;
}

bool ApplyHeader(Options& o, const std::string& v, std::string& error) {
    if (v.find_first_of(":;") == std::string::npos) {
        error = "header '" + v + "' has no ':' (use -H 'Name: value')";
        return false;
    }
    if (strcasecmp(HeaderName(v).c_str(), "Content-Type") != 0) {
        o.headers.push_back(v);
        return true;
    }
    if (v.size() > kMaxContentTypeLine) {
        error = "the Content-Type header line is longer than 199 characters";
        return false;
    }
    o.contentTypeLine = v;
    return true;
}

bool ApplyTimeout(Options& o, const std::string& v, std::string& error) {
    if (!ParseTimeout(v, o.timeoutMs)) {
        error = "bad time-out '" + v + "' (seconds, e.g. 5 or 0.5)";
        return false;
    }
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

bool ApplyData(Options& o, const std::string& v, std::string&) {
    o.dataItems.push_back(v);
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

const OptionSpec kOptions[] = {
    {'X', "request", true, ApplyMethod},
    {'d', "data", true, ApplyData},
    {'H', "header", true, ApplyHeader},
    {'u', "user", true, ApplyText<&Options::userPassword>},
    {0, "cacert", true, ApplyText<&Options::caFile>},
    {'k', "insecure", false, ApplyFlag<&Options::skipPeerVerify>},
    {0, "ssl-reqd", false, ApplyFlag<&Options::requireSsl>},
    {'b', "cookie", true, ApplyText<&Options::cookieFile>},
    {'c', "cookie-jar", true, ApplyText<&Options::cookieJar>},
    {'m', "max-time", true, ApplyTimeout},
    {'o', "output", true, ApplyText<&Options::outputFile>},
    {'i', "include", false, ApplyFlag<&Options::includeHeaders>},
    {'s', "silent", false, ApplyFlag<&Options::silent>},
    {'S', "show-error", false, ApplyFlag<&Options::showError>},
    {'v', "verbose", false, ApplyFlag<&Options::verbose>},
    {0, "trace", false, ApplyFlag<&Options::trace>},
    {0, "urlencode", true, ApplyUrlEncode},
    {0, "client", true, ApplyClient},
    {0, "dynamic-tppm", false, ApplyFlag<&Options::dynamicTppm>},
    {0, "probe", false, ApplyMode<Mode::Probe>},
    {0, "demo", false, ApplyMode<Mode::Demo>},
    {'h', "help", false, ApplyMode<Mode::Help>},
    {'V', "version", false, ApplyMode<Mode::Version>},
};

const OptionSpec* FindShort(char name) {
    for (const OptionSpec& entry : kOptions) {
        if (entry.shortName == name) return &entry;
    }
    return nullptr;
}

const OptionSpec* FindLong(const std::string& name) {
    for (const OptionSpec& entry : kOptions) {
        if (name == entry.longName) return &entry;
    }
    return nullptr;
}

// Walks argv; remembers --help and --version apart, since they win over whatever else was given.
class Parser {
  public:
    Parser(int argc, const char* const* argv) : m_argc(argc), m_argv(argv) {}

    ParseResult Run() {
        ParseResult result;
        for (m_index = 1; m_index < m_argc; ++m_index) {
            if (!ParseArgument(m_argv[m_index])) {
                result.error = m_error;
                return result;
            }
        }
        if (m_help || m_version) {
            result.options.mode = m_help ? Mode::Help : Mode::Version;
            result.ok = true;
            return result;
        }
        if (!Validate()) {
            result.error = m_error;
            return result;
        }
        result.options = m_options;
        result.ok = true;
        return result;
    }

  private:
    bool ParseArgument(const std::string& arg) {
        if (m_onlyPositional || arg.size() < 2 || arg[0] != '-') return AddPositional(arg);
        if (arg == "--") {
            m_onlyPositional = true;
            return true;
        }
        if (arg[1] == '-') return ParseLong(arg.substr(2));
        return ParseShortGroup(arg);
    }

    bool ParseLong(const std::string& text) {
        size_t equals = text.find('=');
        std::string name = text.substr(0, equals);
        const OptionSpec* entry = FindLong(name);
        if (!entry) return Fail("unknown option '--" + name + "'");
        if (equals != std::string::npos) {
            if (!entry->takesValue) return Fail("option '--" + name + "' takes no value");
            return Apply(*entry, text.substr(equals + 1));
        }
        if (!entry->takesValue) return Apply(*entry, "");
        return ApplyNextValue(*entry, "--" + name);
    }

    // "-sS" sets both flags; "-XPOST" and "-X POST" both give the method.
    bool ParseShortGroup(const std::string& arg) {
        for (size_t i = 1; i < arg.size(); ++i) {
            const OptionSpec* entry = FindShort(arg[i]);
            if (!entry) return Fail(std::string("unknown option '-") + arg[i] + "'");
            if (!entry->takesValue) {
                if (!Apply(*entry, "")) return false;
                continue;
            }
            if (i + 1 < arg.size()) return Apply(*entry, arg.substr(i + 1));
            return ApplyNextValue(*entry, std::string("-") + arg[i]);
        }
        return true;
    }

    bool ApplyNextValue(const OptionSpec& entry, const std::string& shownName) {
        if (m_index + 1 >= m_argc) return Fail("option '" + shownName + "' needs a value");
        ++m_index;
        return Apply(entry, m_argv[m_index]);
    }

    bool Apply(const OptionSpec& entry, const std::string& value) {
        m_help = m_help || strcmp(entry.longName, "help") == 0;
        m_version = m_version || strcmp(entry.longName, "version") == 0;
        return entry.apply(m_options, value, m_error);
    }

    bool AddPositional(const std::string& arg) {
        if (!m_options.url.empty())
            return Fail("more than one URL given ('" + m_options.url + "', '" + arg + "')");
        if (arg.empty()) return Fail("the URL is empty");
        m_options.url = arg;
        return true;
    }

    bool Validate() {
        Options& o = m_options;
        if (o.mode == Mode::UrlEncode || o.mode == Mode::Demo) {
            if (!o.url.empty()) return Fail(std::string(ModeName(o.mode)) + " takes no URL");
            return true;
        }
        if (o.url.empty()) return Fail("no URL given");
        if (o.dynamicTppm && !o.hasClient) return Fail("--dynamic-tppm needs --client NAME");
        if (o.mode == Mode::Probe) return ValidateProbe();
        if (o.hasBody() && !o.methodGiven) o.method = HTTP_REQ_POST;
        if (o.hasBody() && (o.method == HTTP_REQ_GET || o.method == HTTP_REQ_HEAD)) {
            return Fail(std::string("-d cannot be used with ") + KYLibCurl::GetHttpReqTypeString(o.method) +
                        ": the request would go out without its body");
        }
        return true;
    }

    bool ValidateProbe() {
        if (!m_options.hasClient) return Fail("--probe needs --client NAME");
        if (m_options.methodGiven || m_options.hasBody()) {
            return Fail("--probe sends its own empty POST: -X and -d do not apply");
        }
        return true;
    }

    static const char* ModeName(Mode mode) { return mode == Mode::Demo ? "--demo" : "--urlencode"; }

    bool Fail(const std::string& error) {
        m_error = error;
        return false;
    }

    int m_argc;
    const char* const* m_argv;
    int m_index = 1;
    bool m_onlyPositional = false;
    bool m_help = false;
    bool m_version = false;
    Options m_options;
    std::string m_error;
};

}  // namespace

ParseResult ParseOptions(int argc, const char* const* argv) { return Parser(argc, argv).Run(); }

const char* HelpText() {
    return "Usage: kycurl [options] URL\n"
           "       kycurl --urlencode TEXT | --demo | --help | --version\n"
           "\n"
           "Sends one HTTP(S) request and writes the reply body to standard output.\n"
           "\n"
           "Request:\n"
           "  -X, --request METHOD   GET, POST, PUT, DELETE, HEAD or PATCH (any letter case).\n"
           "                         Default GET, or POST when -d is given.\n"
           "  -d, --data DATA        Request body, sent byte for byte. '-d @FILE' sends the\n"
           "                         file's bytes unchanged, '-d @-' standard input. Several\n"
           "                         -d are joined with '&'. Not allowed with GET or HEAD.\n"
           "  -H, --header 'Name: value'\n"
           "                         Adds a request header line (repeatable). A Content-Type\n"
           "                         line replaces the default\n"
           "                         'Content-Type: application/x-www-form-urlencoded';\n"
           "                         'Content-Type:' sends none.\n"
           "  -u, --user USER:PASSWORD\n"
           "                         Credentials for server authentication.\n"
           "  -m, --max-time SECONDS Gives up after SECONDS (fractions allowed, 0 = never);\n"
           "                         a time-out ends with status 602.\n"
           "\n"
           "TLS:\n"
           "      --cacert FILE      Verifies the server against the CA certificates in FILE.\n"
           "  -k, --insecure         Skips verification of the server's certificate and name.\n"
           "      --ssl-reqd         Requires TLS for the transfer.\n"
           "\n"
           "Cookies:\n"
           "  -b, --cookie FILE      Sends cookies read from FILE.\n"
           "  -c, --cookie-jar FILE  Writes the session's cookies to FILE at the end.\n"
           "\n"
           "Output:\n"
           "  -i, --include          Writes the reply header lines before the body.\n"
           "  -o, --output FILE      Writes the reply (with -i, headers too) to FILE instead\n"
           "                         of standard output.\n"
           "  -s, --silent           No progress bar and no error message; the exit status\n"
           "                         still tells the outcome.\n"
           "  -S, --show-error       With -s, still prints the error message.\n"
           "  -v, --verbose          Shows the library's log lines on standard error (also\n"
           "                         informational ones). Without it the log is off unless\n"
           "                         EVDEBUG_FILE names a file.\n"
           "      --trace            Appends a trace of the whole exchange to ./log.txt.\n"
           "\n"
           "A progress bar (bytes received and rate) shows on standard error when it is a\n"
           "terminal, -s is not given and the transfer takes longer than half a second.\n"
           "\n"
           "Routing through firewall tunnels:\n"
           "      --client NAME      Sends the request to client NAME: directly, or through a\n"
           "                         tunnel when the firewall requires one.\n"
           "      --dynamic-tppm     With --client: always through a tunnel; a refused\n"
           "                         connection fetches a fresh tunnel and retries once.\n"
           "      --probe            With --client: finds out which route answers (an empty\n"
           "                         POST by the dynamic tunnel route first, then the ordinary\n"
           "                         route) and prints it.\n"
           "\n"
           "Other:\n"
           "      --urlencode TEXT   Prints the form encoding of TEXT and exits.\n"
           "      --demo             Runs a demonstration against an embedded server on\n"
           "                         127.0.0.1 and exits 0 when everything went as expected.\n"
           "  -h, --help             Prints this help.\n"
           "  -V, --version          Prints the version.\n"
           "\n"
           "Exit status: 0 success (HTTP status 200-299); 1 the request failed (the reason\n"
           "on standard error, e.g. 'HTTP status 404', 'status 601 connection failed',\n"
           "'status 602 timed out'); 2 usage error; 3 a local file could not be read or\n"
           "written. On failure the reply received, if any, is still written.\n";
}

}  // namespace kycurl
