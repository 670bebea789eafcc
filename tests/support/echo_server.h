// A TCP echo target on 127.0.0.1 that records how each connection ended.
#ifndef KYTEST_ECHO_SERVER_H
#define KYTEST_ECHO_SERVER_H

#include <array>
#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

#include "support/socket_kit.h"

namespace kytest {

// Served by one polling thread that allocates nothing once it runs, so that a test may fork() beside it.
// Stops and joins its thread when destroyed.
class EchoServer {
  public:
    enum class Mode {
        Echo,                 // echoes every connection until the peer's end, then ends its own side
        Hold,                 // accepts connections and never reads them, with a small receive buffer
        ResetAfterFirstByte,  // resets each connection once its first bytes arrive
    };

    explicit EchoServer(Mode mode = Mode::Echo);
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    int port() const { return m_port; }
    // Connections seen to end, and of them those the peer reset.
    size_t ended() const { return m_ended; }
    size_t resets() const { return m_resets; }
    // Waits for the nth ending (1-based, among the first kKeptEndings): "eof", "reset", "reset sent" or
    // "error"; "" when it does not come within kSocketIoLimitSeconds.
    std::string ending(size_t n) const;

    static constexpr size_t kKeptEndings = 1024;

  private:
    enum class Ending : char { Eof, Reset, ResetSent, Error };

    void run();
    // Serves a connection the poll found ready; false once it has ended.
    bool serve(Socket& connection, char* buffer, size_t size);
    void record(Ending ending);

    Mode m_mode;
    int m_port = 0;
    Socket m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};
    std::array<Ending, kKeptEndings> m_endings{};
    std::atomic<size_t> m_ended{0};
    std::atomic<size_t> m_resets{0};
    std::thread m_thread;
};

}  // namespace kytest

#endif
