#include "support/tppm_test_helpers.h"

#include <regex>

namespace kytest {

int TunnelPort(const std::string& url) {
    static const std::regex kTppmUrl("^[a-z]*://([^/?#@]*@)?127\\.0\\.0\\.1:([0-9]+)([/?#].*)?$");
    std::smatch match;
    return std::regex_match(url, match, kTppmUrl) ? std::stoi(match[2]) : 0;
}

}  // namespace kytest
