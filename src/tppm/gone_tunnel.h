// Cached tunnels the firewall client has given back.
#ifndef KYLIBCURL_TPPM_GONE_TUNNEL_H
#define KYLIBCURL_TPPM_GONE_TUNNEL_H

#include <string>

#include "kylibcurl.h"

namespace kylibcurl::detail {

// Drops url's cached prefix, and clears prefix, when the firewall client reports that the tunnel behind
// it was given back or now leads to another destination than tunnelName at port: its port may since
// have been taken by any listener. A firewall client that cannot tell leaves the entry as it is.
void DropGoneTunnel(KYLibCurl& session, const std::string& url, const std::string& tunnelName, int port,
                    std::string& prefix);

}  // namespace kylibcurl::detail

#endif
