// --next: one command, several transfers, each with options of its own. -v, --trace, --trace-ascii,
// --trace-log, -s, -S, --library-log and --fail-early hold for all of them wherever they were given, as in
// curl.
#ifndef KYCURL_OPERATIONS_H
#define KYCURL_OPERATIONS_H

#include <vector>

#include "options.h"

namespace kycurl {

// Gives every operation the command's global options.
void ShareGlobalOptions(std::vector<Options>& operations);

// Runs the first operation's URLs, then each next one's; the exit status is the last transfer's. A
// command the tool could not set up stops there, as curl stops at such an error.
int RunOperations(const ParseResult& parsed);

}  // namespace kycurl

#endif
