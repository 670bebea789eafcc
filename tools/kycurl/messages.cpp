#include "messages.h"

#include <cstdio>

#include "kylibcurl.h"

namespace kycurl {

void PrintError(const std::string& message) { fprintf(stderr, "kycurl: %s\n", message.c_str()); }

void PrintUsageError(const std::string& message) {
    PrintError(message);
    fprintf(stderr, "Try 'kycurl --help' for more information.\n");
}

void PrintWarning(const std::string& message) { fprintf(stderr, "Warning: %s\n", message.c_str()); }

std::string DescribeStatus(long status) {
    if (status == HTTP_RESP_CONNECT_FAILED) return "status 601 connection failed";
    if (status == HTTP_RESP_TIMED_OUT) return "status 602 timed out";
    if (status == 0) return "no reply";
    return "HTTP status " + std::to_string(status);
}

}  // namespace kycurl
