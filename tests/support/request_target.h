// The path and query parameters of a request target.
#ifndef KYTEST_REQUEST_TARGET_H
#define KYTEST_REQUEST_TARGET_H

#include <string>
#include <utility>
#include <vector>

namespace kytest {

struct RequestTarget {
    std::string path;                                        // as sent, without the query
    std::vector<std::pair<std::string, std::string>> query;  // in order, percent-decoded

    // The value of the first parameter with this name, or fallback.
    std::string param(const std::string& name, const std::string& fallback = std::string()) const;
};

// Accepts origin form ("/a?b=c") and absolute form ("http://host:port/a?b=c").
RequestTarget ParseRequestTarget(const std::string& target);

}  // namespace kytest

#endif
