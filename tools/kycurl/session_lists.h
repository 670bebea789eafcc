// The lists of lines libcurl reads during the transfers without copying them (--resolve, --connect-to,
// --proxy-header): built once per command and kept until its session is gone.
#ifndef KYCURL_SESSION_LISTS_H
#define KYCURL_SESSION_LISTS_H

#include <curl/curl.h>

#include <string>
#include <vector>

#include "options.h"

class KYLibCurl;

namespace kycurl {

class SessionLists {
  public:
    SessionLists() = default;
    ~SessionLists();
    SessionLists(const SessionLists&) = delete;
    SessionLists& operator=(const SessionLists&) = delete;

    // Builds the lists the options give and sets them on the session. False with a message in error.
    bool Install(KYLibCurl& session, const Options& options, std::string& error);

  private:
    bool Set(KYLibCurl& session, CURLoption option, const std::vector<std::string>& lines, curl_slist*& list,
             std::string& error);

    curl_slist* m_resolve = nullptr;
    curl_slist* m_connectTo = nullptr;
    curl_slist* m_proxyHeaders = nullptr;
};

}  // namespace kycurl

#endif
