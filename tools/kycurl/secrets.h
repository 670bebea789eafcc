// Keeping passwords out of everything kycurl prints: URLs lose their password before they are shown or
// sent; the exchange it shows or traces masks credential header values by the library's rule
// (MaskCredentialHeaderLines).
#ifndef KYCURL_SECRETS_H
#define KYCURL_SECRETS_H

#include <string>

namespace kycurl {

// A URL split into the URL without "user[:password]@" and the decoded credentials it carried.
struct UrlCredentials {
    std::string url;
    bool hasUser = false;
    std::string user;
    bool hasPassword = false;
    std::string password;
};

UrlCredentials SplitCredentials(const std::string& url);

// The URL with the secret of its user part (the password, or a user part without one), if any, replaced
// by "***".
std::string RedactUrl(const std::string& url);

// The text with the password of every URL in it replaced by "***" (libcurl's information lines may quote
// a proxy URL from the environment).
std::string RedactUrlsInText(const std::string& text);

}  // namespace kycurl

#endif
