// The request body of the data options (-d, --data-binary, --data-raw, --data-urlencode, --json), built
// once for every URL of the command, and the query that -G makes of it.
#ifndef KYCURL_REQUEST_BODY_H
#define KYCURL_REQUEST_BODY_H

#include <string>
#include <vector>

#include "options.h"

namespace kycurl {

// Joins the items with '&' (without, once --json was given), reading files and standard input the way
// each flavour says. False with a message in error when an input cannot be read. With warnings given, a
// file that cannot be opened is empty content and one warning there, as curl makes it an empty post.
bool BuildData(const std::vector<DataItem>& items, std::string& body, std::string& error,
               std::vector<std::string>* warnings = nullptr);

// Appends the whole content of the file at path ("-": standard input) to out. False with a message in
// error when it cannot be read.
bool ReadInput(const std::string& path, std::string& out, std::string& error);

// The URL with query appended after '?' (or '&' when its last path segment already has a query).
std::string AppendQuery(const std::string& url, const std::string& query);

// True when any item is --json: the request then carries JSON Content-Type and Accept lines.
bool HasJson(const std::vector<DataItem>& items);

}  // namespace kycurl

#endif
