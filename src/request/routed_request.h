// The two steps of a routed request (one that names a destination client) inside the dispatcher.
#ifndef KYLIBCURL_REQUEST_ROUTED_REQUEST_H
#define KYLIBCURL_REQUEST_ROUTED_REQUEST_H

#include <string>

#include "kylibcurl.h"

namespace kylibcurl::detail {

// Resolves the URL through the tunnel resolution into outUrl and installs it as the transfer URL.
// On false the reason has been logged by the step that failed.
bool ResolveRoutedUrl(KYLibCurl& session, const char* clientName, const char* url, bool useDynamicTppm,
                      std::string& outUrl);

// After a refused connection to a dynamic TPPM URL: logs the reconnect line, drops the cached tunnel
// for url's key, resolves a fresh tunnel into outUrl and installs it. On false the request ends.
bool ReconnectRoutedUrl(KYLibCurl& session, const char* clientName, const char* url, std::string& outUrl);

}  // namespace kylibcurl::detail

#endif
