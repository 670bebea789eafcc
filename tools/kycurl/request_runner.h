// Sends the request of every URL of the command line on one session (its connections reused), with
// retries, and reports each outcome; or runs the route probe.
#ifndef KYCURL_REQUEST_RUNNER_H
#define KYCURL_REQUEST_RUNNER_H

#include "options.h"

namespace kycurl {

// Both return the process exit status: curl's, of the last URL.
int RunRequests(const Options& options);
int RunProbe(const Options& options);

}  // namespace kycurl

#endif
