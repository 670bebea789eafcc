#include "support/echo_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "support/eventually.h"

namespace kytest {

namespace {

constexpr int kPollSliceMs = 20;
constexpr int kBacklog = 128;
constexpr size_t kBufferSize = size_t{64} * 1024;
// Room made before the thread runs; more connections are served too, at the cost of an allocation.
constexpr size_t kReservedConnections = 64;

}  // namespace

EchoServer::EchoServer(Mode mode) : m_mode(mode), m_listener(BindLoopback(m_port, kBacklog)) {
    // A holding target takes little before the relay has to keep what its clients send.
    int small = 4096;
    if (mode == Mode::Hold) setsockopt(m_listener.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    m_thread = std::thread([this] { run(); });
    // Its allocations done before the caller goes on: a fork() meanwhile could leave a sanitizer's
    // allocator locked in the child.
    Eventually([this] { return m_running.load(); });
}

EchoServer::~EchoServer() {
    m_stop = true;
    m_thread.join();
}

std::string EchoServer::ending(size_t n) const {
    if (n == 0 || n > kKeptEndings) return "";
    if (!Eventually([this, n] { return m_ended.load(std::memory_order_acquire) >= n; })) return "";
    switch (m_endings[n - 1]) {
        case Ending::Eof:
            return "eof";
        case Ending::Reset:
            return "reset";
        case Ending::ResetSent:
            return "reset sent";
        case Ending::Error:
            break;
    }
    return "error";
}

void EchoServer::run() {
    std::vector<Socket> connections;
    std::vector<char> buffer(kBufferSize);
    // Kept across rounds: a thread that allocates as little as it can is the safest beside a fork().
    std::vector<pollfd> ready;
    connections.reserve(kReservedConnections);
    ready.reserve(kReservedConnections + 1);
    const short wanted = m_mode == Mode::Hold ? 0 : POLLIN;
    m_running = true;
    while (!m_stop) {
        ready.assign(1, {m_listener.fd(), POLLIN, 0});
        for (const Socket& connection : connections) ready.push_back({connection.fd(), wanted, 0});
        if (poll(ready.data(), ready.size(), kPollSliceMs) <= 0) continue;
        if (ready[0].revents & POLLIN) {
            Socket accepted(accept4(m_listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
            if (accepted.valid()) {
                BoundIo(accepted.fd());
                connections.push_back(std::move(accepted));
            }
        }
        for (size_t i = 1; i < ready.size(); ++i) {
            if (!(ready[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
            if (!serve(connections[i - 1], buffer.data(), buffer.size())) connections[i - 1].close();
        }
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [](const Socket& connection) { return !connection.valid(); }),
                          connections.end());
    }
}

bool EchoServer::serve(Socket& connection, char* buffer, size_t size) {
    const ssize_t n = recv(connection.fd(), buffer, size, 0);
    if (n < 0) {
        record(errno == ECONNRESET ? Ending::Reset : Ending::Error);
        return false;
    }
    if (n == 0) {
        shutdown(connection.fd(), SHUT_WR);
        record(Ending::Eof);
        return false;
    }
    if (m_mode == Mode::ResetAfterFirstByte) {
        connection.reset();
        record(Ending::ResetSent);
        return false;
    }
    if (SendAll(connection.fd(), buffer, static_cast<size_t>(n))) return true;
    record(errno == ECONNRESET || errno == EPIPE ? Ending::Reset : Ending::Error);
    return false;
}

void EchoServer::record(Ending ending) {
    // Only this server's thread records: the count it stores last publishes the ending.
    const size_t n = m_ended.load(std::memory_order_relaxed);
    if (n < kKeptEndings) m_endings[n] = ending;
    if (ending == Ending::Reset) ++m_resets;
    m_ended.store(n + 1, std::memory_order_release);
}

}  // namespace kytest
