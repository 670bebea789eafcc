// The tunnel resolution behind KYLibCurl::getTPPMUrl, with what a routed request needs to know besides
// the URL.
#ifndef KYLIBCURL_ROUTE_RESOLUTION_H
#define KYLIBCURL_ROUTE_RESOLUTION_H

#include <string>

#include "kylibcurl.h"

namespace kylibcurl::detail {

// Which way a resolved URL goes.
struct TunnelRoute {
    bool tunnelled = false;  // through a tunnel; otherwise the URL is the caller's own
    std::string authority;   // the tunnel's host and port as cached ("127.0.0.1:5999"), when tunnelled
    bool https = false;      // the URL's scheme is https
};

// getTPPMUrl, which it serves. When routeOut is given it tells, on true, which way outUrl goes.
bool ResolveTppmUrl(KYLibCurl& session, const std::string& clientName, const std::string& url,
                    std::string& outUrl, bool useDynamicTppm, TunnelRoute* routeOut);

}  // namespace kylibcurl::detail

#endif
