// Command line of kycurl: what the user asked for, parsed and checked before anything is sent.
#ifndef KYCURL_OPTIONS_H
#define KYCURL_OPTIONS_H

#include <string>
#include <vector>

#include "kylibcurl.h"

namespace kycurl {

enum class Mode { Request, Probe, Help, Version, UrlEncode, Demo };

struct Options {
    Mode mode = Mode::Request;
    std::string url;
    _http_req_type_ method = HTTP_REQ_GET;
    bool methodGiven = false;
    std::vector<std::string> dataItems;  // -d values in order; "@name" reads a file, "@-" standard input
    std::vector<std::string> headers;    // -H lines other than Content-Type, in order
    std::string contentTypeLine;         // the last -H Content-Type line; empty keeps the library default
    std::string userPassword;            // -u
    std::string caFile;                  // --cacert
    std::string cookieFile;              // -b
    std::string cookieJar;               // -c
    std::string outputFile;              // -o
    std::string clientName;              // --client
    std::string urlEncodeText;           // --urlencode
    int timeoutMs = 0;                   // -m; 0 leaves the transfer without a time-out
    bool includeHeaders = false;         // -i
    bool skipPeerVerify = false;         // -k
    bool requireSsl = false;             // --ssl-reqd
    bool silent = false;                 // -s
    bool showError = false;              // -S
    bool verbose = false;                // -v
    bool trace = false;                  // --trace
    bool dynamicTppm = false;            // --dynamic-tppm
    bool hasClient = false;              // --client given (an empty name still routes)

    bool hasBody() const { return !dataItems.empty(); }
    bool showsErrors() const { return !silent || showError; }
    bool showsProgress() const { return !silent; }
};

struct ParseResult {
    bool ok = false;
    Options options;
    std::string error;  // one line naming what is wrong, when !ok
};

ParseResult ParseOptions(int argc, const char* const* argv);

// The --help text: every option, one paragraph each.
const char* HelpText();

}  // namespace kycurl

#endif
