// What the library does with the tunnel cache beyond KYLibCurl::TppmUrlMapInfo itself.
#ifndef KYLIBCURL_TPPM_TPPM_CACHE_H
#define KYLIBCURL_TPPM_TPPM_CACHE_H

#include <string>

#include "kylibcurl.h"

namespace kylibcurl::detail {

// Drops the tunnel prefix cached for url's key (host:port), writing the cache's removal line, so that the
// next resolution for that key sets up a fresh tunnel.
void ForgetTunnel(KYLibCurl& session, const std::string& url);

}  // namespace kylibcurl::detail

#endif
