#include "options.h"

#include <cstring>

#include "config_file.h"
#include "help.h"
#include "operations.h"
#include "option_table.h"

namespace kycurl {

namespace {

const char* kBodyClash = "only one kind of request body per command: ";
// Config files that name config files: a bound on how many one command reads, against a loop.
constexpr int kConfigFileLimit = 64;

// Walks argv; remembers --help and --version apart, since they win over whatever else was given.
class Parser {
  public:
    Parser(int argc, const char* const* argv) : m_args(argv + (argc > 0 ? 1 : 0), argv + argc) {}

    ParseResult Run() {
        ParseResult result;
        for (m_index = 0; m_index < m_args.size(); ++m_index) {
            if (!ParseArgument(m_args[m_index])) {
                result.error = m_error;
                return result;
            }
        }
        if (m_help || m_version) {
            result.options.mode = m_help ? Mode::Help : Mode::Version;
            result.options.helpTopic = m_helpTopic;
            result.ok = true;
            return result;
        }
        m_operations.push_back(m_options);
        ShareGlobalOptions(m_operations);
        for (Options& operation : m_operations) {
            m_options = operation;
            if (!Validate()) {
                result.error = m_error;
                return result;
            }
            operation = m_options;
        }
        result.options = m_operations.front();
        result.nextOperations.assign(m_operations.begin() + 1, m_operations.end());
        result.ok = true;
        return result;
    }

  private:
    bool ParseArgument(const std::string& arg) {
        if (m_onlyPositional || arg.size() < 2 || arg[0] != '-') return AddUrl(arg);
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
        const OptionSpec* entry = FindLongOption(name);
        if (!entry) return Fail("unknown option '--" + name + "'");
        if (!entry->apply) return ApplyHelp(equals == std::string::npos ? nullptr : &text[equals + 1]);
        if (equals != std::string::npos) {
            if (!entry->takesValue()) return Fail("option '--" + name + "' takes no value");
            return Apply(*entry, text.substr(equals + 1));
        }
        if (!entry->takesValue()) return Apply(*entry, "");
        return ApplyNextValue(*entry, "--" + name);
    }

    // "-sS" sets both flags; "-XPOST" and "-X POST" both give the method.
    bool ParseShortGroup(const std::string& arg) {
        for (size_t i = 1; i < arg.size(); ++i) {
            const OptionSpec* entry = FindShortOption(arg[i]);
            if (!entry) return Fail(std::string("unknown option '-") + arg[i] + "'");
            if (!entry->apply) {
                if (!ApplyHelp(nullptr)) return false;
                continue;
            }
            if (!entry->takesValue()) {
                if (!Apply(*entry, "")) return false;
                continue;
            }
            if (i + 1 < arg.size()) return Apply(*entry, arg.substr(i + 1));
            return ApplyNextValue(*entry, std::string("-") + arg[i]);
        }
        return true;
    }

    // --help takes its group from "--help=GROUP" or from the next argument when that names a group.
    bool ApplyHelp(const char* attached) {
        m_help = true;
        if (attached) {
            if (!IsHelpTopic(attached)) return Fail(std::string("no help group '") + attached + "'");
            m_helpTopic = attached;
            return true;
        }
        if (m_index + 1 < m_args.size() && IsHelpTopic(m_args[m_index + 1])) m_helpTopic = m_args[++m_index];
        return true;
    }

    bool ApplyNextValue(const OptionSpec& entry, const std::string& shownName) {
        if (m_index + 1 >= m_args.size()) return Fail("option '" + shownName + "' needs a value");
        ++m_index;
        return Apply(entry, m_args[m_index]);
    }

    bool Apply(const OptionSpec& entry, const std::string& value) {
        m_version = m_version || strcmp(entry.longName, "version") == 0;
        if (strcmp(entry.longName, "next") == 0) return StartNextOperation();
        if (strcmp(entry.longName, "config") == 0) return ReadConfig(value);
        return entry.apply(m_options, value, m_error);
    }

    // The config file's arguments are read next, where -K stood.
    bool ReadConfig(const std::string& path) {
        if (++m_configFilesRead > kConfigFileLimit)
            return Fail("more than " + std::to_string(kConfigFileLimit) +
                        " config files (-K) in one command");
        std::vector<std::string> args;
        if (!ReadConfigFile(path, args, m_error)) return false;
        m_args.insert(m_args.begin() + static_cast<std::ptrdiff_t>(m_index) + 1, args.begin(), args.end());
        return true;
    }

    bool StartNextOperation() {
        m_operations.push_back(m_options);
        m_options = Options();
        return true;
    }

    bool AddUrl(const std::string& arg) {
        if (arg.empty()) return Fail("the URL is empty");
        m_options.urls.push_back(arg);
        return true;
    }

    bool Validate() {
        Options& o = m_options;
        if (o.mode == Mode::UrlEncode) {
            if (!o.urls.empty()) return Fail("--urlencode takes no URL");
            return true;
        }
        if (o.urls.empty()) return Fail("no URL given");
        if (o.dynamicTppm && !o.hasClient) return Fail("--dynamic-tppm needs --client NAME");
        if (o.fail && o.failWithBody) return Fail("use either --fail or --fail-with-body, not both");
        if (o.mode == Mode::Probe) return ValidateProbe();
        return ValidateBodies() && ChooseMethod();
    }

    // curl's rule: a request carries one kind of body, and HEAD none.
    bool ValidateBodies() {
        const Options& o = m_options;
        bool dataInBody = o.hasData() && !o.dataAsQuery;
        if (dataInBody && !o.formParts.empty()) return Fail(std::string(kBodyClash) + "-d and -F");
        if (dataInBody && !o.uploads.empty()) return Fail(std::string(kBodyClash) + "-d and -T");
        if (!o.formParts.empty() && !o.uploads.empty()) return Fail(std::string(kBodyClash) + "-F and -T");
        if (o.dataAsQuery && !o.formParts.empty()) return Fail("-G cannot be used with -F");
        if (o.head && (dataInBody || !o.formParts.empty() || !o.uploads.empty())) {
            return Fail("-I sends a HEAD request, which carries no body (-d, -F, -T)");
        }
        return true;
    }

    bool ChooseMethod() {
        Options& o = m_options;
        bool hasBody = (o.hasData() && !o.dataAsQuery) || !o.formParts.empty() || !o.uploads.empty();
        if (o.head) {
            if ((o.methodGiven && o.method != HTTP_REQ_HEAD) || !o.customMethod.empty())
                return Fail("-I cannot be used with -X");
            o.method = HTTP_REQ_HEAD;
            return true;
        }
        if (!o.methodGiven)
            o.method = !o.uploads.empty() ? HTTP_REQ_PUT : hasBody ? HTTP_REQ_POST : HTTP_REQ_GET;
        if (hasBody && (o.method == HTTP_REQ_GET || o.method == HTTP_REQ_HEAD)) {
            return Fail(std::string("a body cannot be sent with ") +
                        KYLibCurl::GetHttpReqTypeString(o.method) + ": the request would go out without it");
        }
        return true;
    }

    bool ValidateProbe() {
        const Options& o = m_options;
        if (!o.hasClient) return Fail("--probe needs --client NAME");
        if (o.urls.size() > 1) return Fail("--probe takes one URL");
        if (o.methodGiven || !o.customMethod.empty() || o.hasData() || !o.formParts.empty() ||
            !o.uploads.empty()) {
            return Fail("--probe sends its own empty POST: -X, -d, -F and -T do not apply");
        }
        return true;
    }

    bool Fail(const std::string& error) {
        m_error = error;
        return false;
    }

    std::vector<std::string> m_args;
    size_t m_index = 0;
    int m_configFilesRead = 0;
    std::vector<Options> m_operations;  // those before the last --next
    bool m_onlyPositional = false;
    bool m_help = false;
    bool m_version = false;
    std::string m_helpTopic;
    Options m_options;
    std::string m_error;
};

}  // namespace

ParseResult ParseOptions(int argc, const char* const* argv) { return Parser(argc, argv).Run(); }

}  // namespace kycurl
