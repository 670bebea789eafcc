// Sends the one request of the command line (or the route probe) and reports its outcome.
#ifndef KYCURL_REQUEST_RUNNER_H
#define KYCURL_REQUEST_RUNNER_H

#include "options.h"

namespace kycurl {

// Both return the process exit status (output.h).
int RunRequest(const Options& options);
int RunProbe(const Options& options);

}  // namespace kycurl

#endif
