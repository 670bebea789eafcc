// The reply header callback on arbitrary header blocks, then the header lookups on an arbitrary name.
// Properties: every call consumes all it was given; a line is stored trimmed of spaces and tabs at both
// ends (line-end characters stay), as the C string it holds up to any NUL, and a line that trims to
// nothing is not stored; lines stay in arrival order; GetHttpResponseHeader gives the first stored line
// that matches the name ignoring case, GetHttpResponseHeaders all of them, or every line for a null name.
#include <strings.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "fuzz_check.h"
#include "fuzz_targets.h"
#include "kylibcurl.h"

namespace kyfuzz {
namespace {

std::string Trimmed(const std::string& line) {
    const size_t last = line.find_last_not_of(" \t");
    if (last == std::string::npos) return std::string();
    const size_t first = line.find_first_not_of(" \t");
    return line.substr(first, last + 1 - first);
}

// A stored line matches when its first characters equal the name ignoring case, or when the whole line
// is shorter than the name and equals its beginning.
bool Matches(const std::string& name, const std::string& line) {
    const size_t n = std::min(name.size(), line.size());
    return strncasecmp(name.c_str(), line.c_str(), n) == 0;
}

void CheckLookups(KYLibCurl& session, const std::vector<std::string>& stored, const std::string& name) {
    std::list<std::string> all;
    KYFUZZ_CHECK(session.GetHttpResponseHeaders(nullptr, all) == !stored.empty());
    KYFUZZ_CHECK(std::vector<std::string>(all.begin(), all.end()) == stored);

    std::vector<std::string> matching;
    for (const std::string& line : stored)
        if (Matches(name, line)) matching.push_back(line);
    std::list<std::string> found;
    KYFUZZ_CHECK(session.GetHttpResponseHeaders(name.c_str(), found) == !matching.empty());
    KYFUZZ_CHECK(std::vector<std::string>(found.begin(), found.end()) == matching);

    const char* first = session.GetHttpResponseHeader(name.c_str());
    KYFUZZ_CHECK((first == nullptr) == matching.empty());
    if (first) KYFUZZ_CHECK(first == matching.front());
    KYFUZZ_CHECK(session.GetHttpResponseHeader(nullptr) == nullptr);
}

}  // namespace

int FuzzHeaderCallback(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    const std::string name = in.ShortString().c_str();
    KYLibCurl session;
    std::vector<std::string> stored;
    for (int call = 0; call < 64 && !in.empty(); ++call) {
        std::string block = in.ShortString();
        // An exactly sized heap copy: a read past the block's end lands outside it.
        std::vector<char> copy(block.begin(), block.end());
        KYFUZZ_CHECK(KYLibCurl::libcurl_headercallback(copy.data(), 1, copy.size(), &session) == copy.size());
        const std::string line = Trimmed(block);
        if (!line.empty()) stored.push_back(line.c_str());
    }
    CheckLookups(session, stored, name);
    return 0;
}

}  // namespace kyfuzz
