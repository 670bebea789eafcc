// A libcurl URL handle that frees itself.
#ifndef KYCURL_URL_HANDLE_H
#define KYCURL_URL_HANDLE_H

#include <curl/curl.h>

#include <memory>

namespace kycurl {

struct UrlFree {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

using UrlHandle = std::unique_ptr<CURLU, UrlFree>;

}  // namespace kycurl

#endif
