// The process-wide tunnel cache: a URL's key (host and port, UrlKey) to the prefix of a tunnel set up for
// it ("http://127.0.0.1:5999"). It is entered one way, TunnelCacheOperation on a split URL;
// KYLibCurl::TppmUrlMapInfo splits the caller's URL and enters it there too.
#ifndef KYLIBCURL_ROUTE_TUNNEL_CACHE_H
#define KYLIBCURL_ROUTE_TUNNEL_CACHE_H

#include <string>

#include "kylibcurl.h"
#include "route/url.h"

namespace kylibcurl::detail {

// KYLibCurl::TppmUrlMapInfo on a URL already split; url has a scheme.
void TunnelCacheOperation(const Url& url, std::string& value, KYLibCurl::TPPM_CACHE_OPTYPE op);

// Drops the tunnel prefix cached for url's key, writing the cache's removal line, so that the next
// resolution for that key sets up a fresh tunnel. A URL without a scheme has no key and is passed over.
void ForgetTunnel(const Url& url);

// The prefix cached for url's key, or empty when none is. An entry whose tunnel the firewall client
// reports given back, or leading to another destination than tunnelName at url's port, is dropped and
// counts as none: its port may since have been taken by any listener. A firewall client that cannot tell
// leaves the entry as it is.
std::string LiveTunnelPrefix(const Url& url, const std::string& tunnelName);

// The tunnel a cached prefix names. Its scheme is the one of the URL that set the tunnel up, not
// necessarily the request's: it plays no part. Callers may cache prefixes of their own, so one without
// "://" is taken as host and port as it stands.
struct Tunnel {
    std::string authority;  // host and port ("127.0.0.1:5999")
    int port = 0;           // the port the prefix ends with when it is a usable one, else 0
};
Tunnel TunnelOf(const std::string& prefix);

}  // namespace kylibcurl::detail

#endif
