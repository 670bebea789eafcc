// Turns the command line into a configured session, and decides where the library's log goes.
#ifndef KYCURL_SESSION_SETUP_H
#define KYCURL_SESSION_SETUP_H

#include <string>

#include "kylibcurl.h"
#include "options.h"
#include "secrets.h"

namespace kycurl {

// The library logs to standard error unless EVDEBUG_FILE names a file. Its lines would bury kycurl's own
// messages, so they are shown only with --library-log (then with the informational levels too); a file
// the user named keeps receiving them either way.
void ConfigureLibraryLog(bool show);

// Initialises the session with writeCallback as its body callback and applies what holds for every URL
// of the command: TLS, credentials, cookies, time-outs, redirects, proxy, HTTP version and the rest of
// curl's options, each as one of the library's calls. False with a message in error when a setting is
// refused.
bool ConfigureSession(KYLibCurl& session, const Options& options, KYLibCurl::DataCallback writeCallback,
                      std::string& error);

// The credentials of a URL, given to the session for its request (-u, when given, wins as in curl), or
// cleared when the URL has none.
bool ApplyUrlCredentials(KYLibCurl& session, const UrlCredentials& credentials);

}  // namespace kycurl

#endif
