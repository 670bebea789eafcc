// kycurl's one-line messages on standard error and its exit statuses, which are curl's.
#ifndef KYCURL_MESSAGES_H
#define KYCURL_MESSAGES_H

#include <curl/curl.h>

#include <string>

namespace kycurl {

constexpr int kExitOk = CURLE_OK;
constexpr int kExitUsage = 2;  // curl's status for a command line it cannot use

// "kycurl: <message>" and a line feed on standard error.
void PrintError(const std::string& message);
// The usage error line, then a pointer to --help.
void PrintUsageError(const std::string& message);
// "Warning: <message>", as curl writes its warnings.
void PrintWarning(const std::string& message);

// Names a request's status: "HTTP status 404", "status 601 connection failed", "status 602 timed out",
// or "no reply" when no status was received.
std::string DescribeStatus(long status);

}  // namespace kycurl

#endif
