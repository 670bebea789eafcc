#include <strings.h>

#include "support/test_server.h"

namespace kytest {

std::string ReceivedRequest::header(const std::string& name) const {
    for (const auto& entry : headers) {
        if (strcasecmp(entry.first.c_str(), name.c_str()) == 0) return entry.second;
    }
    return std::string();
}

bool ReceivedRequest::hasHeader(const std::string& name) const { return headerCount(name) > 0; }

size_t ReceivedRequest::headerCount(const std::string& name) const {
    size_t count = 0;
    for (const auto& entry : headers) {
        if (strcasecmp(entry.first.c_str(), name.c_str()) == 0) ++count;
    }
    return count;
}

}  // namespace kytest
