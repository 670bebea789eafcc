// The request body: the -d values gathered into one buffer, and the reader that feeds it to a chunked
// upload.
#ifndef KYCURL_REQUEST_BODY_H
#define KYCURL_REQUEST_BODY_H

#include <cstddef>
#include <string>
#include <vector>

class KYLibCurl;

namespace kycurl {

// Joins the items with '&'; "@-" reads standard input, "@name" the file, each byte for byte. False with
// a message in error when an input cannot be read.
bool BuildBody(const std::vector<std::string>& items, std::string& body, std::string& error);

// With "Transfer-Encoding: chunked" the session leaves the body to a read callback: this one hands out
// the body's bytes, so the upload never falls back to reading standard input.
class ChunkedBodyReader {
  public:
    explicit ChunkedBodyReader(const std::string& body) : m_body(body) {}

    bool Install(KYLibCurl& session);
    static size_t Read(void* buffer, size_t size, size_t nitems, void* userdata);

  private:
    const std::string& m_body;
    size_t m_offset = 0;
};

}  // namespace kycurl

#endif
