// What kycurl writes: the reply (header lines, body) to standard output or a file, and its one-line
// messages on standard error.
#ifndef KYCURL_OUTPUT_H
#define KYCURL_OUTPUT_H

#include <cstddef>
#include <list>
#include <string>

namespace kycurl {

enum ExitStatus {
    kExitOk = 0,
    kExitRequestFailed = 1,
    kExitUsage = 2,
    kExitLocalFile = 3,
};

// "kycurl: <message>" and a line feed on standard error.
void PrintError(const std::string& message);
// The usage error line, then a pointer to --help.
void PrintUsageError(const std::string& message);

// Names a failed request's status: "HTTP status 404", "status 601 connection failed",
// "status 602 timed out", or "no reply" when no status was received.
std::string DescribeStatus(long status);

struct Reply {
    std::list<std::string> headerLines;  // as received, line ends included
    const char* body = nullptr;
    size_t bodySize = 0;

    bool received() const { return !headerLines.empty() || bodySize > 0; }
};

// Writes the reply (header lines first when includeHeaders) to standard output, or to the file at path
// when path is not empty. False with a message in error when the destination cannot be written.
bool WriteReply(const Reply& reply, bool includeHeaders, const std::string& path, std::string& error);

}  // namespace kycurl

#endif
