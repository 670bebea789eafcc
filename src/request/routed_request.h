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

// Whether a transfer to a tunnel ended the way a stale tunnel ends: refused, or cut (nothing came back,
// the request could not be sent, the connection was reset) before any reply byte arrived. A tunnel whose
// far side is gone may accept the connection and then close or reset it, and a connection kept from an
// earlier request fails when it is used. Nothing came back from the server behind the tunnel, though the
// request may have reached it: a reconnect may deliver a request twice.
bool TunnelLooksStale(void* handle, CURLcode result);

// After a stale dynamic TPPM URL: logs the reconnect line, drops the cached tunnel for url's key,
// resolves a fresh tunnel into outUrl and installs it. On false the request ends.
bool ReconnectRoutedUrl(KYLibCurl& session, const char* clientName, const char* url, std::string& outUrl);

}  // namespace kylibcurl::detail

#endif
