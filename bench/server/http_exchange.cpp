#include "http_exchange.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

namespace kybench {
namespace {

constexpr char kHeadEnd[] = "\r\n\r\n";

// About 100 bytes, like the small JSON answers of a typical service.
constexpr char kSmallBody[] =
    "{\"status\":\"ok\",\"id\":4711,\"name\":\"kybench\",\"items\":[1,2,3,4,5],"
    "\"note\":\"fixed reply, 100 bytes long!\"}";
static_assert(sizeof(kSmallBody) - 1 == 100, "the small reply body is 100 bytes");

// A typical set of reply header lines: the client stores each of them.
constexpr char kCommonHeaders[] =
    "Server: kybench\r\n"
    "Date: Mon, 01 Jan 2024 00:00:00 GMT\r\n"
    "Cache-Control: no-cache\r\n"
    "Connection: keep-alive\r\n";

bool StartsWithNoCase(const char* line, size_t length, const char* name) {
    size_t nameLength = strlen(name);
    return length >= nameLength && strncasecmp(line, name, nameLength) == 0;
}

const char* SkipBlanks(const char* p, const char* end) {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    return p;
}

// Reads the request line and the two header fields the server cares about; false when malformed.
bool ParseHead(const char* head, size_t headLength, ParsedRequest& out, uint64_t& bodyLength) {
    const char* end = head + headLength;
    const char* lineEnd = static_cast<const char*>(memmem(head, headLength, "\r\n", 2));
    if (!lineEnd) lineEnd = end;
    const char* space = static_cast<const char*>(memchr(head, ' ', lineEnd - head));
    if (!space) return false;
    const char* pathEnd = static_cast<const char*>(memchr(space + 1, ' ', lineEnd - space - 1));
    if (!pathEnd) return false;
    out.method.assign(head, space);
    out.path.assign(space + 1, pathEnd);

    bodyLength = 0;
    for (const char* line = lineEnd + 2; line < end;) {
        const char* next = static_cast<const char*>(memmem(line, end - line, "\r\n", 2));
        if (!next) next = end;
        size_t length = next - line;
        if (StartsWithNoCase(line, length, "content-length:")) {
            bodyLength = strtoull(SkipBlanks(line + 15, next), nullptr, 10);
        } else if (StartsWithNoCase(line, length, "expect:")) {
            const char* value = SkipBlanks(line + 7, next);
            out.expectsContinue = StartsWithNoCase(value, next - value, "100-continue");
        }
        line = next + 2;
    }
    return true;
}

std::string Head(const char* status, const char* contentType, uint64_t length) {
    std::string head = "HTTP/1.1 ";
    head += status;
    head += "\r\n";
    head += kCommonHeaders;
    head += "Content-Type: ";
    head += contentType;
    head += "\r\nContent-Length: ";
    head += std::to_string(length);
    head += "\r\n\r\n";
    return head;
}

}  // namespace

const char kContinueReply[] = "HTTP/1.1 100 Continue\r\n\r\n";

ParseState ParseRequest(const char* data, size_t size, ParsedRequest& out) {
    out = ParsedRequest();
    const char* headEnd = static_cast<const char*>(memmem(data, size, kHeadEnd, 4));
    if (!headEnd) return ParseState::Incomplete;
    size_t headLength = headEnd - data;
    uint64_t bodyLength = 0;
    if (!ParseHead(data, headLength, out, bodyLength)) return ParseState::Malformed;
    uint64_t total = headLength + 4 + bodyLength;
    if (size < total) return ParseState::Incomplete;
    out.length = static_cast<size_t>(total);
    return ParseState::Complete;
}

std::string ReplyFor(const ParsedRequest& request, const std::string& stats, uint64_t& bulkBytes) {
    bulkBytes = 0;
    const std::string& path = request.path;
    if (path == "/small") return Head("200 OK", "application/json", sizeof(kSmallBody) - 1) + kSmallBody;
    if (path.compare(0, 6, "/bulk/") == 0) {
        bulkBytes = strtoull(path.c_str() + 6, nullptr, 10);
        return Head("200 OK", "application/octet-stream", bulkBytes);
    }
    if (path == "/stats") return Head("200 OK", "text/plain", stats.size()) + stats;
    return Head("404 Not Found", "text/plain", 0);
}

}  // namespace kybench
