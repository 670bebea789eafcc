#include "support/echo_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace kytest {

namespace {

constexpr int kPollSliceMs = 50;
constexpr int kBacklog = 64;
constexpr size_t kBufferSize = size_t{64} * 1024;

}  // namespace

EchoServer::EchoServer(Mode mode) : m_mode(mode), m_listener(BindLoopback(m_port, kBacklog)) {
    m_acceptor = std::thread([this] { acceptLoop(); });
}

EchoServer::~EchoServer() {
    m_stop = true;
    m_acceptor.join();
    for (auto& worker : m_workers) worker.join();
}

std::string EchoServer::ending(size_t n) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(kSocketIoLimitSeconds),
                       [&] { return m_endings.size() >= n; });
    return m_endings.size() >= n ? m_endings[n - 1] : "";
}

void EchoServer::acceptLoop() {
    while (!m_stop) {
        pollfd ready{m_listener.fd(), POLLIN, 0};
        if (::poll(&ready, 1, kPollSliceMs) != 1) continue;
        const int fd = ::accept4(m_listener.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        m_workers.emplace_back([this, fd] { serve(Socket(fd)); });
    }
}

void EchoServer::serve(Socket connection) {
    BoundIo(connection.fd());
    std::vector<char> buffer(kBufferSize);
    for (;;) {
        const ssize_t n = ::recv(connection.fd(), buffer.data(), buffer.size(), 0);
        if (n < 0) return record(errno == ECONNRESET ? "reset" : "error");
        if (n == 0) break;
        if (m_mode == Mode::ResetAfterFirstByte) {
            connection.reset();
            return record("reset sent");
        }
        if (!SendAll(connection.fd(), buffer.data(), static_cast<size_t>(n))) return record("reset");
    }
    ::shutdown(connection.fd(), SHUT_WR);
    record("eof");
}

void EchoServer::record(const std::string& ending) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_endings.push_back(ending);
    m_changed.notify_all();
}

}  // namespace kytest
