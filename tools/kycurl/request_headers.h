// The request header lines of one request: the -H lines in order, then the lines its body needs, the
// way curl adds them. A line the user gave with -H wins over the tool's own.
#ifndef KYCURL_REQUEST_HEADERS_H
#define KYCURL_REQUEST_HEADERS_H

#include <cstdint>
#include <string>
#include <vector>

namespace kycurl {

struct BodyShape {
    bool json = false;            // --json data
    std::string formContentType;  // -F: the multipart Content-Type line; empty otherwise
    bool upload = false;          // -T
    bool present = false;
    bool sizeKnown = true;
    uint64_t size = 0;
    bool http10 = false;  // HTTP/1.0 knows no Expect
};

// The length a -H "Content-Length: N" line declares; false when no such line gives a number.
bool GivenContentLength(const std::vector<std::string>& lines, long& length);

std::vector<std::string> RequestHeaderLines(const std::vector<std::string>& given, const BodyShape& body);

}  // namespace kycurl

#endif
