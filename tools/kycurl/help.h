// The --help text, one screen per group, drawn from the option table.
#ifndef KYCURL_HELP_H
#define KYCURL_HELP_H

#include <string>

namespace kycurl {

// True when topic is "all", a group of the option table, or one of the help's own topics.
bool IsHelpTopic(const std::string& topic);

// The help for topic; the empty topic gives the overview.
std::string HelpText(const std::string& topic);

}  // namespace kycurl

#endif
