#include "request_headers.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>

namespace kycurl {

namespace {

// The name part of a header line: up to ':' (or ';', which sends a header with an empty value).
std::string HeaderName(const std::string& line) {
    std::string name = line.substr(0, line.find_first_of(":;"));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    return name;
}

bool HasHeader(const std::vector<std::string>& lines, const char* name) {
    for (const std::string& line : lines) {
        if (strcasecmp(HeaderName(line).c_str(), name) == 0) return true;
    }
    return false;
}

}  // namespace

bool GivenContentLength(const std::vector<std::string>& lines, long& length) {
    for (const std::string& line : lines) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos || strcasecmp(HeaderName(line).c_str(), "Content-Length") != 0)
            continue;
        const char* value = line.c_str() + colon + 1;
        char* end = nullptr;
        errno = 0;
        const long parsed = std::strtol(value, &end, 10);
        if (end == value || errno != 0 || parsed < 0) continue;
        length = parsed;
        return true;
    }
    return false;
}

std::vector<std::string> RequestHeaderLines(const std::vector<std::string>& given, const BodyShape& body) {
    std::vector<std::string> lines = given;
    auto add = [&](const char* name, const std::string& line) {
        if (!HasHeader(given, name)) lines.push_back(line);
    };
    if (body.json) {
        add("Content-Type", "Content-Type: application/json");
        add("Accept", "Accept: application/json");
    }
    if (!body.formContentType.empty()) add("Content-Type", body.formContentType);
    if (body.present && !body.sizeKnown) add("Transfer-Encoding", "Transfer-Encoding: chunked");
    if (!body.upload) return lines;
    // The library posts an upload: its lines are laid out as libcurl lays out a PUT's, the length then
    // Expect (not in HTTP/1.0), and no Content-Type, which a post would otherwise carry.
    if (body.sizeKnown) add("Content-Length", "Content-Length: " + std::to_string(body.size));
    if (!body.http10 && (!body.sizeKnown || body.size > 0)) add("Expect", "Expect: 100-continue");
    add("Content-Type", "Content-Type:");
    return lines;
}

}  // namespace kycurl
