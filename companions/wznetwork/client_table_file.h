// Reading the client table file; problems go to standard error, one line each.
#ifndef WZNETWORK_CLIENT_TABLE_FILE_H
#define WZNETWORK_CLIENT_TABLE_FILE_H

#include <map>
#include <string>

#include "client_line.h"

namespace kyfw {

using ClientMap = std::map<std::string, ClientEntry>;

// The entries of the file at path; a later line for the same host replaces an earlier one. A malformed
// line is reported with its line number and skipped; a file that cannot be read, or is no regular file of
// at most 1 MiB (a FIFO, a device), is reported and gives an empty table.
ClientMap readClientTableFile(const std::string& path);

}  // namespace kyfw

#endif
