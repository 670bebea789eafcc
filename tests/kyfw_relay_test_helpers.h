// Scaffolding of the relay tests: plain blocking sockets on 127.0.0.1 with bounded waits, a target that
// echoes or only holds its connections, and a child process for what a test does to its whole process.
#ifndef KYTEST_KYFW_RELAY_TEST_HELPERS_H
#define KYTEST_KYFW_RELAY_TEST_HELPERS_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KyFwClient.h"
#include "KyFwControl.h"

namespace relaytest {

constexpr int kIoTimeoutSeconds = 10;

class Fd {
  public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { close(); }
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&& other) noexcept {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    void close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

  private:
    int m_fd;
};

inline sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Connects fd to port on 127.0.0.1, its reads and writes giving up after kIoTimeoutSeconds.
inline bool ConnectSocket(int fd, int port) {
    timeval limit{kIoTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address = Loopback(port);
    return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// A connected socket whose reads and writes give up after kIoTimeoutSeconds; empty with errno set when
// the connection is refused.
inline Fd ConnectTo(int port) {
    Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket && !ConnectSocket(socket.get(), port)) {
        int error = errno;
        socket.close();
        errno = error;
    }
    return socket;
}

// A listening socket on 127.0.0.1 at an ephemeral port.
inline Fd Listen(int backlog, int& port) {
    Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length);
    listen(socket.get(), backlog);
    getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return socket;
}

inline bool SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Exactly size bytes; fewer when the stream ends or fails first.
inline std::string ReceiveExactly(int fd, size_t size) {
    std::string data(size, '\0');
    size_t got = 0;
    while (got < size) {
        ssize_t n = recv(fd, &data[got], size - got, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    data.resize(got);
    return data;
}

// Closes with a reset, so the peer sees the connection fail even with bytes still unsent.
inline void Reset(Fd& fd) {
    linger hard{1, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    fd.close();
}

// Sends message and reads it back: what an echoing target through a working tunnel does.
inline bool RoundTrip(int fd, const std::string& message) {
    return SendAll(fd, message) && ReceiveExactly(fd, message.size()) == message;
}

// The errno of the read that ends the stream: 0 for an orderly end, ECONNRESET for a reset, EAGAIN when
// nothing came in time.
inline int EndOfStream(int fd) {
    char byte;
    ssize_t n = recv(fd, &byte, 1, 0);
    if (n == 0) return 0;
    return n < 0 ? errno : -1;
}

// Polls a condition every 5 ms for at most kIoTimeoutSeconds.
inline bool Eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < kIoTimeoutSeconds * 200; ++i) {
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

    explicit Target(Mode mode = Mode::Echo) : m_mode(mode), m_listener(Listen(128, m_port)) {
        // A holding target takes little before the relay has to keep what its clients send.
        int small = 4096;
        if (mode == Mode::Hold) setsockopt(m_listener.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
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
        std::vector<Fd> connections;
        std::vector<char> buffer(64 * 1024);
        // Kept across rounds: a thread that allocates as little as it can is the safest beside a fork().
        std::vector<pollfd> ready(1);
        connections.reserve(64);
        m_running = true;
        while (!m_stop) {
            ready.assign(1, {m_listener.get(), POLLIN, 0});
            for (const Fd& connection : connections)
                ready.push_back({connection.get(), static_cast<short>(m_mode == Mode::Echo ? POLLIN : 0), 0});
            if (poll(ready.data(), ready.size(), 20) <= 0) continue;
            if (ready[0].revents & POLLIN)
                connections.emplace_back(accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            for (size_t i = 1; i < ready.size(); ++i) {
                if (!(ready[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
                Fd& connection = connections[i - 1];
                ssize_t n = recv(connection.get(), buffer.data(), buffer.size(), 0);
                if (n > 0 && SendAll(connection.get(), std::string(buffer.data(), static_cast<size_t>(n))))
                    continue;
                if (n < 0) ++m_resets;
                if (n == 0) shutdown(connection.get(), SHUT_WR);
                ++m_ended;
                connection.close();
            }
            connections.erase(std::remove_if(connections.begin(), connections.end(),
                                             [](const Fd& connection) { return !connection; }),
                              connections.end());
        }
    }

    Mode m_mode;
    int m_port = 0;
    Fd m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};
    std::atomic<size_t> m_ended{0};
    std::atomic<size_t> m_resets{0};
    std::thread m_thread;
};

// The descriptors the process has open.
inline size_t OpenDescriptors() {
    DIR* fds = opendir("/proc/self/fd");
    if (!fds) return 0;
    size_t count = 0;
    while (readdir(fds)) ++count;
    closedir(fds);
    return count - 3;  // ".", ".." and the directory's own descriptor
}

// Runs body in a forked child, which ends with body's result (or by SIGALRM after a minute, should it
// hang); gives the child's exit status, or 128 + the signal that ended it.
inline int RunInChild(const std::function<int()>& body) {
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        alarm(60);
        _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace relaytest

#endif
