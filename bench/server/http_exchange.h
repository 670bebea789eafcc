// The bench server's HTTP/1.1 side: finding whole requests in the bytes a connection received, and the
// replies it gives. Replies are fixed texts, except that a bulk reply's body is generated as it is sent.
#ifndef KYBENCH_SERVER_HTTP_EXCHANGE_H
#define KYBENCH_SERVER_HTTP_EXCHANGE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kybench {

struct ParsedRequest {
    size_t length = 0;  // bytes of head and body
    bool expectsContinue = false;
    std::string method;
    std::string path;
};

enum class ParseState { Incomplete, Complete, Malformed };

// Looks for one whole request at the start of data. A request whose head is complete but whose body is
// still missing is Incomplete with expectsContinue set when it asked for "100 Continue".
ParseState ParseRequest(const char* data, size_t size, ParsedRequest& out);

// The reply head and fixed body for a request; bulkBytes receives the length of a body to be generated
// after the head (0 for fixed replies). stats is the body of a /stats reply.
std::string ReplyFor(const ParsedRequest& request, const std::string& stats, uint64_t& bulkBytes);

extern const char kContinueReply[];

}  // namespace kybench

#endif
