#include "config_file.h"

#include "char_class.h"
#include "messages.h"
#include "option_table.h"
#include "request_body.h"

namespace kycurl {

namespace {

// ':' and '=' part a name from its value only when the name was written without a dash.
bool IsSeparator(char c, bool dashed) { return !dashed && (c == '=' || c == ':'); }

// The quoted value from just after its opening quote to the closing one (or the line's end).
std::string Unquote(const std::string& line, size_t at) {
    std::string value;
    for (; at < line.size() && line[at] != '"'; ++at) {
        if (line[at] != '\\') {
            value += line[at];
            continue;
        }
        if (++at == line.size()) break;
        switch (line[at]) {
            case 't':
                value += '\t';
                break;
            case 'n':
                value += '\n';
                break;
            case 'r':
                value += '\r';
                break;
            case 'v':
                value += '\v';
                break;
            default:
                value += line[at];
        }
    }
    return value;
}

struct ConfigLine {
    std::string option;  // as written
    bool dashed = false;
    bool hasValue = false;
    std::string value;
};

// False for an empty line and a comment.
bool SplitLine(const std::string& line, ConfigLine& out) {
    size_t at = 0;
    while (at < line.size() && IsSpace(line[at])) ++at;
    if (at == line.size() || line[at] == '#' || line[at] == '/' || line[at] == '*') return false;
    out.dashed = line[at] == '-';
    const size_t start = at;
    while (at < line.size() && !IsSpace(line[at]) && !IsSeparator(line[at], out.dashed)) ++at;
    out.option = line.substr(start, at - start);
    while (at < line.size() && (IsSpace(line[at]) || IsSeparator(line[at], out.dashed))) ++at;
    if (at < line.size() && line[at] == '"') {
        out.hasValue = true;
        out.value = Unquote(line, at + 1);
        return true;
    }
    const size_t valueStart = at;
    while (at < line.size() && !IsSpace(line[at])) ++at;
    out.value = line.substr(valueStart, at - valueStart);
    out.hasValue = !out.value.empty();
    return true;
}

// The table entry the option stands for: a long name, or the last letter of a group of short ones.
const OptionSpec* Lookup(const std::string& argument) {
    if (argument.compare(0, 2, "--") == 0) return FindLongOption(argument.substr(2));
    return argument.size() >= 2 ? FindShortOption(argument.back()) : nullptr;
}

void Warn(const std::string& shownName, int lineNumber, const std::string& option, const char* what) {
    PrintWarning(shownName + ":" + std::to_string(lineNumber) + ": '" + option + "' " + what);
}

}  // namespace

void ConfigArguments(const std::string& text, const std::string& shownName, std::vector<std::string>& args) {
    int lineNumber = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        ConfigLine parsed;
        if (!SplitLine(line, parsed)) continue;
        const std::string argument = parsed.dashed ? parsed.option : "--" + parsed.option;
        const OptionSpec* known = Lookup(argument);
        if (!known) {
            Warn(shownName, lineNumber, parsed.option, "is unknown");
            continue;
        }
        if (known->takesValue() && !parsed.hasValue) {
            Warn(shownName, lineNumber, parsed.option, "requires a value");
            continue;
        }
        args.push_back(argument);
        if (known->takesValue()) {
            args.push_back(parsed.value);
        } else if (parsed.hasValue) {
            Warn(shownName, lineNumber, parsed.option, "takes no value: the value is left out");
        }
    }
}

bool ReadConfigFile(const std::string& path, std::vector<std::string>& args, std::string& error) {
    std::string text;
    if (!ReadInput(path, text, error)) {
        error = "cannot read config from '" + path + "': " + error;
        return false;
    }
    ConfigArguments(text, path == "-" ? "<stdin>" : path, args);
    return true;
}

}  // namespace kycurl
