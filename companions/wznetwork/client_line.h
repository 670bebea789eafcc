// One line of the client table: "<host-name> <route> [<target-address>]", '#' starting a comment.
#ifndef WZNETWORK_CLIENT_LINE_H
#define WZNETWORK_CLIENT_LINE_H

#include <string>

#include "KyFwControl.h"

namespace kyfw {

constexpr const char* kDefaultTarget = "127.0.0.1";

struct ClientEntry {
    Route route = Route::Direct;
    std::string target = kDefaultTarget;
};

enum class LineKind { Blank, Entry, Malformed };

struct ClientLine {
    LineKind kind = LineKind::Blank;
    std::string host;  // table key: lower case, "" for '-'
    ClientEntry entry;
    std::string problem;  // why a malformed line does not parse
};

ClientLine parseClientLine(const std::string& line);

// Host names compare without regard to case, so the table keeps them in lower case.
std::string hostKey(const std::string& host);

// A numeric IPv4 or IPv6 address; names are not accepted, so a tunnel never waits on a name lookup.
bool isTargetAddress(const std::string& text);

}  // namespace kyfw

#endif
