// Where a routed request goes: the firewall client's answer for its client, and the tunnel for its URL's
// host and port when the answer is a tunnel. KYLibCurl::getTPPMUrl gives the same resolution to callers.
#ifndef KYLIBCURL_ROUTE_RESOLUTION_H
#define KYLIBCURL_ROUTE_RESOLUTION_H

#include <string>

namespace kylibcurl::detail {

struct Route {
    std::string url;         // the URL to use: the caller's when reached directly, else the TPPM URL
    bool tunnelled = false;  // through a tunnel
    std::string tunnel;      // the tunnel's host and port as cached ("127.0.0.1:5999"), when tunnelled
    bool https = false;      // the URL's scheme is https, when tunnelled
};

struct Resolution {
    bool resolved = false;  // route holds where the request goes; otherwise the reason has been logged
    bool noTunnel = false;  // the client is behind the firewall and no tunnel could be had
    Route route;
};

// A dynamic route always goes through a tunnel and asks the firewall client nothing.
Resolution ResolveRoute(const std::string& clientName, const std::string& url, bool useDynamicTppm);

}  // namespace kylibcurl::detail

#endif
