// The multipart/form-data body of -F for a routed request (a direct one goes out through libcurl's mime
// parts), laid out as curl lays it out: values in memory, files read as the upload goes.
#ifndef KYCURL_MULTIPART_H
#define KYCURL_MULTIPART_H

#include <string>
#include <vector>

#include "body_source.h"
#include "options.h"

namespace kycurl {

// Each part is "name=value", "name=@file[;type=T][;filename=F]" or "name=<file" (the file's content as
// the value). Fills source and the Content-Type header line; false with a message in error when a file
// cannot be opened.
bool BuildMultipart(const std::vector<FormPart>& parts, BodySource& source, std::string& contentTypeLine,
                    std::string& error);

}  // namespace kycurl

#endif
