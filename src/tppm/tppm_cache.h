// What the library does with the tunnel cache beyond KYLibCurl::TppmUrlMapInfo itself.
#ifndef KYLIBCURL_TPPM_TPPM_CACHE_H
#define KYLIBCURL_TPPM_TPPM_CACHE_H

#include <string>

#include "kylibcurl.h"
#include "tppm/url_split.h"

namespace kylibcurl::detail {

// KYLibCurl::TppmUrlMapInfo on a URL already split (parts valid), for callers that hold its parts.
void TunnelCacheOperation(const std::string& url, const UrlParts& parts, std::string& value,
                          KYLibCurl::TPPM_CACHE_OPTYPE op);

// Drops the tunnel prefix cached for url's key (host:port), writing the cache's removal line, so that the
// next resolution for that key sets up a fresh tunnel.
void ForgetTunnel(KYLibCurl& session, const std::string& url);

}  // namespace kylibcurl::detail

#endif
