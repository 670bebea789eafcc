#include "route_url.h"

#include <strings.h>

#include <string>

#include "url_handle.h"

namespace kycurl {

namespace {

using Url = UrlHandle;

std::string Part(CURLU* url, CURLUPart what, unsigned int flags = 0) {
    char* text = nullptr;
    if (curl_url_get(url, what, &text, flags) != CURLUE_OK || !text) return std::string();
    std::string part = text;
    curl_free(text);
    return part;
}

// requestUrl with its host and port replaced by the connection's; empty when it cannot be parsed.
std::string WithAddress(CURLU* url, const std::string& ip, long port) {
    const std::string host = ip.find(':') == std::string::npos ? ip : "[" + ip + "]";
    if (curl_url_set(url, CURLUPART_HOST, host.c_str(), 0) != CURLUE_OK ||
        curl_url_set(url, CURLUPART_PORT, std::to_string(port).c_str(), 0) != CURLUE_OK)
        return std::string();
    return Part(url, CURLUPART_URL);
}

}  // namespace

std::string RoutedUrlOf(CURL* handle, const std::string& requestUrl) {
    char* effective = nullptr;
    curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effective);
    if (!effective) return std::string();
    Url url(curl_url());
    if (effective != requestUrl || !url ||
        curl_url_set(url.get(), CURLUPART_URL, requestUrl.c_str(), 0) != CURLUE_OK ||
        strcasecmp(Part(url.get(), CURLUPART_SCHEME).c_str(), "https") != 0)
        return effective;

    char* ip = nullptr;
    long port = 0;
    curl_easy_getinfo(handle, CURLINFO_PRIMARY_IP, &ip);
    curl_easy_getinfo(handle, CURLINFO_PRIMARY_PORT, &port);
    if (!ip || !*ip || port == 0) return std::string();
    // A tunnel listens on a port of its own: the URL's port means the connection went straight there.
    if (std::to_string(port) == Part(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT)) return effective;
    return WithAddress(url.get(), ip, port);
}

}  // namespace kycurl
