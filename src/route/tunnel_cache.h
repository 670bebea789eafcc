// What the library does with the tunnel cache beyond KYLibCurl::TppmUrlMapInfo itself: operations on a URL
// already split, and forgetting tunnels that are stale or given back.
#ifndef KYLIBCURL_ROUTE_TUNNEL_CACHE_H
#define KYLIBCURL_ROUTE_TUNNEL_CACHE_H

#include <string>

#include "kylibcurl.h"
#include "route/url.h"

namespace kylibcurl::detail {

// KYLibCurl::TppmUrlMapInfo on a URL already split (parts valid), for callers that hold its parts.
void TunnelCacheOperation(const std::string& url, const UrlParts& parts, std::string& value,
                          KYLibCurl::TPPM_CACHE_OPTYPE op);

// Drops the tunnel prefix cached for url's key (host:port), writing the cache's removal line, so that the
// next resolution for that key sets up a fresh tunnel.
void ForgetTunnel(KYLibCurl& session, const std::string& url);

// Drops url's cached prefix, and clears prefix, when the firewall client reports that the tunnel behind it
// was given back or now leads to another destination than tunnelName at port: its port may since have
// been taken by any listener. A firewall client that cannot tell leaves the entry as it is.
void DropGoneTunnel(KYLibCurl& session, const std::string& url, const std::string& tunnelName, int port,
                    std::string& prefix);

}  // namespace kylibcurl::detail

#endif
