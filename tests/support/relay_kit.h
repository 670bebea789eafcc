// What the relay tests share beyond the socket kit: a target that echoes or only holds its connections,
// tunnels, bounded waits, and a child process for what a test does to its whole process.
#ifndef KYTEST_RELAY_KIT_H
#define KYTEST_RELAY_KIT_H

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "KyFwClient.h"
#include "support/process_kit.h"
#include "support/socket_kit.h"

namespace relaytest {

// Sends message and reads it back: what an echoing target through a working tunnel does.
inline bool RoundTrip(int fd, const std::string& message) {
    return kytest::SendAll(fd, message) && kytest::ReceiveExactly(fd, message.size()) == message;
}

// The errno of the read that ends the stream: 0 for an orderly end, ECONNRESET for a reset, EAGAIN when
// nothing came in time.
inline int EndOfStream(int fd) {
    char byte;
    ssize_t n = recv(fd, &byte, 1, 0);
    if (n == 0) return 0;
    return n < 0 ? errno : -1;
}

// Polls a condition every 5 ms for at most kytest::kSocketIoLimitSeconds.
inline bool Eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < kytest::kSocketIoLimitSeconds * 200; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

inline int OpenTunnel(const char* name, int port) {
    KyFwError err;
    return KyFwClient::setupTPPM(name, port, nullptr, &err);
}

// A target on 127.0.0.1 served by one polling thread: echoes every connection and passes its end on, or
// (Hold) accepts connections and never reads them.
class Target {
  public:
    enum class Mode { Echo, Hold };

    explicit Target(Mode mode = Mode::Echo) : m_mode(mode), m_listener(kytest::BindLoopback(m_port, 128)) {
        // A holding target takes little before the relay has to keep what its clients send.
        int small = 4096;
        if (mode == Mode::Hold) setsockopt(m_listener.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        m_thread = std::thread([this] { run(); });
        // Its allocations done before the caller goes on: a fork() meanwhile could leave a sanitizer's
        // allocator locked in the child.
        while (!m_running) std::this_thread::yield();
    }
    ~Target() {
        m_stop = true;
        m_thread.join();
    }
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    int port() const { return m_port; }
    // Connections the target has seen end, in order or with a reset.
    size_t ended() const { return m_ended; }
    size_t resets() const { return m_resets; }

  private:
    void run() {
        std::vector<kytest::Socket> connections;
        std::vector<char> buffer(size_t{64} * 1024);
        // Kept across rounds: a thread that allocates as little as it can is the safest beside a fork().
        std::vector<pollfd> ready(1);
        connections.reserve(64);
        m_running = true;
        while (!m_stop) {
            ready.assign(1, {m_listener.fd(), POLLIN, 0});
            for (const kytest::Socket& connection : connections)
                ready.push_back({connection.fd(), static_cast<short>(m_mode == Mode::Echo ? POLLIN : 0), 0});
            if (poll(ready.data(), ready.size(), 20) <= 0) continue;
            if (ready[0].revents & POLLIN)
                connections.emplace_back(accept4(m_listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
            for (size_t i = 1; i < ready.size(); ++i) {
                if (!(ready[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
                kytest::Socket& connection = connections[i - 1];
                ssize_t n = recv(connection.fd(), buffer.data(), buffer.size(), 0);
                if (n > 0 && kytest::SendAll(connection.fd(), buffer.data(), static_cast<size_t>(n)))
                    continue;
                if (n < 0) ++m_resets;
                if (n == 0) shutdown(connection.fd(), SHUT_WR);
                ++m_ended;
                connection.close();
            }
            connections.erase(
                std::remove_if(connections.begin(), connections.end(),
                               [](const kytest::Socket& connection) { return !connection.valid(); }),
                connections.end());
        }
    }

    Mode m_mode;
    int m_port = 0;
    kytest::Socket m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};
    std::atomic<size_t> m_ended{0};
    std::atomic<size_t> m_resets{0};
    std::thread m_thread;
};

using kytest::OpenDescriptors;
using kytest::RunInChild;

}  // namespace relaytest

#endif
