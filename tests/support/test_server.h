// One in-process HTTP/HTTPS test server on 127.0.0.1, and sockets that misbehave on purpose.
#ifndef KYTEST_TEST_SERVER_H
#define KYTEST_TEST_SERVER_H

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kytest {

// One request as the server received it.
struct ReceivedRequest {
    std::string raw;     // the exact bytes received: request line, header lines, blank line, body
    std::string method;  // "GET", "POST", ...
    std::string target;  // request target as sent, e.g. "/echo?x=1"
    std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
    std::string body;                                          // decoded body (chunked is de-chunked)
    std::string serverName;  // the TLS server name (SNI) the client sent; empty when none or plain HTTP
    size_t connection = 0;   // 1-based number of the connection that carried it, in accept order

    // Value of the first header with this name (case-insensitive); empty when absent.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
    size_t headerCount(const std::string& name) const;
};

// Behaviour is chosen by the request path (query parameters combine):
//   /echo                 200, body = "method target\n" + every header line + "\n" + body
//   /status/N             status N, body "status N"
//   /bytes/N              200, body of N bytes ('a' + i % 26)
//   /delay/MS             waits MS milliseconds, then 200 "delayed"
//   /reset                reads the request, then resets the connection (RST)
//   /stall                reads the request and never answers (until the server stops)
//   /drop/N               announces a body of 2*N bytes, sends N, then closes
//   /cookie/set?name=v    200 with Set-Cookie: name=v; Path=/
//   /header?Name=Value    200 with the reply header "Name: Value" (repeatable)
//   anything else         200 "ok"
//   query ?status=N sets the status of /echo, /bytes and the default; ?delay=MS delays any answer.
// Query names and values are percent-decoded. HEAD gets the same headers without a body. Replies carry
// Content-Type and Content-Length; connections stay open (HTTP/1.1 keep-alive) until the client closes or
// sends "Connection: close". "Expect: 100-continue" is answered with "100 Continue" (not recorded).
// A request is recorded once fully read, before its reply is sent, so it is visible when the client's call
// returns. Delays and stalls end as soon as the server stops.
class TestServer {
  public:
    enum class Scheme { Http, Https };
    // HTTPS: certificateName, when given, is the one DNS name the server certificate is for; otherwise
    // the certificate is for localhost and 127.0.0.1.
    explicit TestServer(Scheme scheme = Scheme::Http, const std::string& certificateName = std::string());
    ~TestServer();  // stops the server and joins its threads
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int port() const;
    // "http://127.0.0.1:<port><path>" (https for the HTTPS variant).
    std::string url(const std::string& path = "/") const;
    // HTTPS only: PEM file of the throw-away CA that signed the server certificate (for 127.0.0.1
    // and localhost).
    const std::string& caFile() const;

    std::vector<ReceivedRequest> requests() const;
    ReceivedRequest lastRequest() const;  // empty when none
    size_t requestCount() const;
    void clearRequests();
    // Waits until at least count requests were recorded (for requests sent from another thread, such as
    // /stall); false when timeoutMs passes first.
    bool waitForRequests(size_t count, int timeoutMs = 10000) const;
    // Connections accepted so far (keep-alive reuse shows as fewer connections than requests).
    size_t connectionCount() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace kytest

#endif
