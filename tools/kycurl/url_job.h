// One URL of the command line made ready to send: its credentials taken out, the -G query and the -T
// file name added, and where its reply goes.
#ifndef KYCURL_URL_JOB_H
#define KYCURL_URL_JOB_H

#include <string>

#include "options.h"
#include "secrets.h"

namespace kycurl {

struct UrlJob {
    std::string shownUrl;        // as given, its password redacted: the URL of every message
    UrlCredentials credentials;  // credentials.url is the URL without them
    std::string requestUrl;      // what the session is asked to send to
    std::string upload;          // -T file, or empty
    std::string outputPath;      // empty: standard output (-o -); -O's name is always a file
    _http_req_type_ method = HTTP_REQ_GET;
    long resumeFrom = 0;          // -C; -1: the server's size of an upload
    bool appendOutput = false;    // a resumed download adds to its output file
    bool remoteName = false;      // the output file is named after the URL (-O)
    std::string etagLine;         // the If-None-Match line of --etag-compare, or empty
    unsigned long urlNumber = 0;  // its place among the URLs its glob made
};

// False with a message in error when -O finds no file name in the URL, or a --url-query file cannot be read.
bool MakeUrlJob(const Options& options, size_t index, const std::string& query, UrlJob& job,
                std::string& error);

}  // namespace kycurl

#endif
