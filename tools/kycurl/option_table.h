// The option table: every option's names, its help line and how it changes the Options. The parser and
// the help text both read it, so an option and its help cannot drift apart.
#ifndef KYCURL_OPTION_TABLE_H
#define KYCURL_OPTION_TABLE_H

#include <cstddef>
#include <string>

#include "options.h"

namespace kycurl {

// The groups of the options, in the order --help shows them; OptionSpec::group is one of these.
inline constexpr const char* kOptionGroups[] = {"http",   "auth",     "post",       "upload",
                                                "output", "transfer", "connection", "proxy",
                                                "tls",    "verbose",  "routing",    "misc"};

using ApplyOption = bool (*)(Options&, const std::string& value, std::string& error);

struct OptionSpec {
    char shortName;  // 0 when the option has only a long name
    const char* longName;
    const char* valueName;  // shown in the help; null when the option takes no value
    const char* group;      // --help GROUP shows the group's options
    bool important;         // also shown by --help alone
    const char* help;       // one line
    ApplyOption apply;

    bool takesValue() const { return valueName != nullptr; }
};

const OptionSpec* OptionsBegin();
const OptionSpec* OptionsEnd();

const OptionSpec* FindShortOption(char name);
const OptionSpec* FindLongOption(const std::string& name);

}  // namespace kycurl

#endif
