// The -F and --form-string parts as libcurl's mime parts, parsed as curl parses them: "name=value",
// "name=@file" (a file upload) and "name=<file" (a file's content as the value), each with its
// ";type=", ";filename=", ";headers=" and ";encoder=" attributes; --form-string takes its value as given.
#ifndef KYCURL_MIME_FORM_H
#define KYCURL_MIME_FORM_H

#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

#include "options.h"

namespace kycurl {

struct MimeFree {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};
using Mime = std::unique_ptr<curl_mime, MimeFree>;

// The parts built on handle; null with a message in error when a file cannot be read or an attribute
// is not well formed.
Mime BuildMimeForm(CURL* handle, const std::vector<FormPart>& parts, std::string& error);

}  // namespace kycurl

#endif
