// Turns the command line into a configured session, and decides where the library's log goes.
#ifndef KYCURL_SESSION_SETUP_H
#define KYCURL_SESSION_SETUP_H

#include <string>

#include "kylibcurl.h"
#include "options.h"

namespace kycurl {

// The library logs to standard error unless EVDEBUG_FILE names a file. Its lines would bury kycurl's own
// one-line messages, so they are shown only with -v (then with the informational levels too); a file the
// user named keeps receiving them either way.
void ConfigureLibraryLog(bool verbose);

// Initialises the session and applies headers, credentials, CA file, cookies, time-out and trace. False
// with a message in error when a setting is refused.
bool ConfigureSession(KYLibCurl& session, const Options& options, std::string& error);

}  // namespace kycurl

#endif
