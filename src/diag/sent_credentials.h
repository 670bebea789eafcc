// The credentials a session sends of its own (the Authorization header libcurl builds from a user and
// password, the caller's Authorization, Cookie and key header lines, cookies from a file), which an error
// reply that echoes the request would otherwise put into the log.
#ifndef KYLIBCURL_DIAG_SENT_CREDENTIALS_H
#define KYLIBCURL_DIAG_SENT_CREDENTIALS_H

#include <curl/curl.h>

#include <string>
#include <vector>

namespace kylibcurl::detail {

// The values of the request header lines that carry credentials: Authorization, Proxy-Authorization and
// Cookie lines and lines whose names hold a credential word; of a value with a scheme ("Bearer abc") the
// part after it, of a Cookie line the whole value and each cookie's value.
std::vector<std::string> HeaderLineSecrets(const curl_slist* lines);

// The text with the values of credential headers hidden wherever they stand as "Name: value" up to the
// line's end or as "Name": "value", and every Basic credential and Bearer token hidden after its scheme
// word, whichever header or field carries it.
std::string WithoutSentCredentials(std::string text);

}  // namespace kylibcurl::detail

#endif
