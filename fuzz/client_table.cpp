// The firewall stand-in's client-table parser on arbitrary text, line by line and as a whole file.
// Properties: a line without fields before '#' is blank; an accepted entry has a lower-case host name
// without blanks, one of the four routes and a target that is, as a whole, a numeric address; written
// back as "<host> <route> <target>" it parses to the same entry; a refused line says why; the file
// reader gives the entries of its lines, a later line for a host replacing an earlier one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "client_line.h"
#include "client_table_file.h"
#include "fuzz_check.h"
#include "fuzz_targets.h"

namespace kyfuzz {
namespace {

// Lines as getline gives them: each with its line feed, the last one possibly without.
std::vector<std::string> FileLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, next - start));
        start = next;
    }
    return lines;
}

bool HasFields(const std::string& line) {
    for (char c : line.substr(0, line.find('#')))
        if (!isspace(static_cast<unsigned char>(c))) return true;
    return false;
}

bool IsWholeAddress(const std::string& text) {
    if (text.find('\0') != std::string::npos) return false;
    in6_addr address;
    return inet_pton(AF_INET, text.c_str(), &address) == 1 ||
           inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

const char* RouteName(kyfw::Route route) {
    switch (route) {
        case kyfw::Route::Direct:
            return "direct";
        case kyfw::Route::Tunnel:
            return "tunnel";
        case kyfw::Route::Undecided:
            return "undecided";
        case kyfw::Route::Refuse:
            return "refuse";
    }
    return "unknown";
}

void CheckEntry(const kyfw::ClientLine& line) {
    for (char c : line.host) {
        KYFUZZ_CHECK(!isspace(static_cast<unsigned char>(c)) && c != '#');
        KYFUZZ_CHECK(!(c >= 'A' && c <= 'Z'));
    }
    KYFUZZ_CHECK(IsWholeAddress(line.entry.target));

    const std::string written = (line.host.empty() ? std::string("-") : line.host) + " " +
                                RouteName(line.entry.route) + " " + line.entry.target + "\n";
    const kyfw::ClientLine again = kyfw::parseClientLine(written);
    KYFUZZ_CHECK(again.kind == kyfw::LineKind::Entry);
    KYFUZZ_CHECK(again.host == line.host);
    KYFUZZ_CHECK(again.entry.route == line.entry.route);
    KYFUZZ_CHECK(again.entry.target == line.entry.target);
}

// The table as the file reader should give it.
kyfw::ClientMap CheckLines(const std::string& text) {
    kyfw::ClientMap table;
    for (const std::string& rawLine : FileLines(text)) {
        const kyfw::ClientLine line = kyfw::parseClientLine(rawLine);
        KYFUZZ_CHECK((line.kind == kyfw::LineKind::Blank) == !HasFields(rawLine));
        if (line.kind == kyfw::LineKind::Malformed) KYFUZZ_CHECK(!line.problem.empty());
        if (line.kind != kyfw::LineKind::Entry) continue;
        CheckEntry(line);
        table[line.host] = line.entry;
    }
    return table;
}

void CheckFile(const std::string& text, const kyfw::ClientMap& expected) {
    const int fd = memfd_create("kyfuzz-clients", MFD_CLOEXEC);
    KYFUZZ_CHECK(fd >= 0);
    KYFUZZ_CHECK(write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
    const kyfw::ClientMap table = kyfw::readClientTableFile("/proc/self/fd/" + std::to_string(fd));
    close(fd);
    KYFUZZ_CHECK(table.size() == expected.size());
    for (const auto& entry : expected) {
        const auto found = table.find(entry.first);
        KYFUZZ_CHECK(found != table.end());
        KYFUZZ_CHECK(found->second.route == entry.second.route);
        KYFUZZ_CHECK(found->second.target == entry.second.target);
    }
}

}  // namespace

int FuzzClientTable(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckFile(text, CheckLines(text));
    return 0;
}

}  // namespace kyfuzz
