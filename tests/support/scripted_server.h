// A small hostile server on 127.0.0.1: each connection, in accept order, gets one scripted answer once
// its request head has arrived, whatever the request was.
#ifndef KYTEST_SCRIPTED_SERVER_H
#define KYTEST_SCRIPTED_SERVER_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kytest {

struct ScriptedAnswer {
    enum class Kind {
        Send,   // the bytes, then the server's end of the connection
        Close,  // no byte: the server ends the connection
        Reset,  // the bytes (if any), then a reset
    };
    Kind kind = Kind::Send;
    std::string bytes;
    size_t awaitBody = 0;  // request body bytes to wait for after the bytes went out, before the end
    std::function<void()> onRequest;  // run on the server's thread once the request head has arrived

    static ScriptedAnswer Send(std::string bytes) { return {Kind::Send, std::move(bytes), 0, nullptr}; }
    static ScriptedAnswer Close() { return {Kind::Close, std::string(), 0, nullptr}; }
    static ScriptedAnswer Reset(std::string bytes = std::string()) {
        return {Kind::Reset, std::move(bytes), 0, nullptr};
    }
    // "100 Continue" to a request that expects it, then a reset once the body has begun to arrive: the
    // client has surely received the reply's first bytes by then.
    static ScriptedAnswer ContinueThenReset() {
        return {Kind::Reset, "HTTP/1.1 100 Continue\r\n\r\n", 1, nullptr};
    }
};

class ScriptedServer {
  public:
    // The n-th connection gets answers[n - 1]; every connection after the last answer gets the last.
    explicit ScriptedServer(std::vector<ScriptedAnswer> answers);
    ~ScriptedServer();  // stops the server and joins its threads
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const;
    std::string url(const std::string& path = "/") const;  // "http://127.0.0.1:<port><path>"
    size_t connectionCount() const;
    // Connections whose request head arrived and whose answer went out in full before the server's end
    // (before a reset: every byte acknowledged by the client).
    size_t deliveredCount() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// "HTTP/1.1 200 OK" with the given header lines (each ending in CR LF), a Content-Length for body,
// "Connection: close" and the body.
std::string ReplyWithHeaders(const std::string& headerLines, const std::string& body);

// A 200 reply with a chunked body ending in the given trailer lines (each ending in CR LF).
std::string ChunkedReplyWithTrailers(const std::string& body, const std::string& trailerLines);

}  // namespace kytest

#endif
