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
    std::string tunnelUrl;  // empty unless the request was routed
};

// The format with its escapes and %{variables} replaced. An unknown variable is named in unknown (the
// first one) and left out, as curl leaves it out.
std::string FormatWriteOut(const std::string& format, const KYLibCurl& session, const WriteOutFacts& facts,
                           std::string& unknown);

}  // namespace kycurl

#endif
