// A TCP echo server on 127.0.0.1 that records how each connection ended.
#ifndef KYTEST_ECHO_SERVER_H
#define KYTEST_ECHO_SERVER_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/socket_kit.h"

namespace kytest {

// Echoes every connection until the peer's end, then ends its own side; can instead reset a connection
// after its first byte. Stops and joins its threads when destroyed.
class EchoServer {
  public:
    enum class Mode { Echo, ResetAfterFirstByte };

    explicit EchoServer(Mode mode = Mode::Echo);
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    int port() const { return m_port; }
    // Waits for the nth ending (1-based): "eof", "reset", "reset sent" or "error"; "" when it does not
    // come within kSocketIoLimitSeconds.
    std::string ending(size_t n);

  private:
    void acceptLoop();
    void serve(Socket connection);
    void record(const std::string& ending);

    Mode m_mode;
    int m_port = 0;
    Socket m_listener;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    std::vector<std::thread> m_workers;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_endings;
};

}  // namespace kytest

#endif
