#include "client_line.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

#include "numeric_address.h"

namespace kyfw {
namespace {

std::vector<std::string> fieldsBeforeComment(const std::string& line) {
    std::istringstream in(line.substr(0, line.find('#')));
    std::vector<std::string> fields;
    std::string field;
    while (in >> field) fields.push_back(field);
    return fields;
}

bool parseRoute(const std::string& word, Route& route) {
    static const struct {
        const char* name;
        Route route;
    } kRoutes[] = {{"direct", Route::Direct},
                   {"tunnel", Route::Tunnel},
                   {"undecided", Route::Undecided},
                   {"refuse", Route::Refuse}};
    for (const auto& known : kRoutes) {
        if (strcasecmp(word.c_str(), known.name) == 0) {
            route = known.route;
            return true;
        }
    }
    return false;
}

ClientLine malformed(std::string problem) {
    ClientLine line;
    line.kind = LineKind::Malformed;
    line.problem = std::move(problem);
    return line;
}

}  // namespace

std::string hostKey(const std::string& host) {
    std::string key = host;
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    return key;
}

bool isTargetAddress(const std::string& text) {
    in6_addr address;
    return parseNumericAddress(text, address) != AF_UNSPEC;
}

ClientLine parseClientLine(const std::string& text) {
    std::vector<std::string> fields = fieldsBeforeComment(text);
    if (fields.empty()) return ClientLine{};
    if (fields.size() == 1) return malformed("no route after host \"" + fields[0] + "\"");
    if (fields.size() > 3) return malformed("unexpected \"" + fields[3] + "\" after the target address");
    ClientLine line;
    if (!parseRoute(fields[1], line.entry.route)) return malformed("unknown route \"" + fields[1] + "\"");
    if (fields.size() == 3) {
        if (!isTargetAddress(fields[2])) return malformed("bad target address \"" + fields[2] + "\"");
        line.entry.target = fields[2];
    }
    line.kind = LineKind::Entry;
    line.host = fields[0] == "-" ? std::string() : hostKey(fields[0]);
    return line;
}

}  // namespace kyfw
