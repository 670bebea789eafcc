// The URL a routed request really went to, as the transfer handle tells it.
#ifndef KYCURL_ROUTE_URL_H
#define KYCURL_ROUTE_URL_H

#include <curl/curl.h>

#include <string>

namespace kycurl {

// A plain URL through a tunnel is the handle's URL itself. An https URL through a tunnel stays the
// caller's on the handle (TLS and the Host line keep naming the destination) while its connection goes
// to the tunnel: the URL is then the caller's with the host and port of the connection. A URL reached
// directly comes back as it is. Empty while that cannot be told yet: an https request not yet connected.
std::string RoutedUrlOf(CURL* handle, const std::string& requestUrl);

}  // namespace kycurl

#endif
