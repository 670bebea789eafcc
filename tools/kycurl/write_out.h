// -w: curl's write-out format, filled from the finished transfer.
#ifndef KYCURL_WRITE_OUT_H
#define KYCURL_WRITE_OUT_H

#include <string>

class KYLibCurl;

namespace kycurl {

// What the handle cannot tell.
struct WriteOutFacts {
    int exitCode = 0;
    std::string errorMessage;
    std::string tunnelUrl;        // empty unless the request was routed
    std::string outputFile;       // empty: standard output
    std::string url;              // the URL as given (its password redacted)
    unsigned long urlNumber = 0;  // its place among the URLs its glob made
};

// Writes the format with its escapes and %{variables} replaced to standard output (or where %{stderr}
// and %{stdout} switch to), as curl does; an unknown variable is named on standard error and left out.
void WriteOut(const std::string& format, const KYLibCurl& session, const WriteOutFacts& facts);

}  // namespace kycurl

#endif
