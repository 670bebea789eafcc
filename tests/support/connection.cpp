#include "support/connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace kytest {

namespace {

// Each wait is cut into short polls so that a stop is noticed even when no byte ever moves.
constexpr int kPollSliceMs = 50;
// A client that neither reads nor writes for this long is given up (bounds every loop in time).
constexpr auto kIdleLimit = std::chrono::seconds(120);

}  // namespace

Connection::Connection(int fd, SSL_CTX* ctx, const std::atomic<bool>& stopping)
    : m_fd(fd), m_stopping(stopping) {
    if (!ctx) return;
    m_ssl = SSL_new(ctx);
    if (m_ssl) SSL_set_fd(m_ssl, fd);
}

Connection::~Connection() {
    if (m_ssl) SSL_free(m_ssl);
}

bool Connection::waitFor(Wait wait) {
    pollfd entry{m_fd, static_cast<short>(wait == Wait::Read ? POLLIN : POLLOUT), 0};
    auto deadline = std::chrono::steady_clock::now() + kIdleLimit;
    while (!m_stopping.load() && std::chrono::steady_clock::now() < deadline) {
        int ready = ::poll(&entry, 1, kPollSliceMs);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
    return false;
}

bool Connection::waitAfterTlsResult(int result) {
    switch (SSL_get_error(m_ssl, result)) {
        case SSL_ERROR_WANT_READ:
            return waitFor(Wait::Read);
        case SSL_ERROR_WANT_WRITE:
            return waitFor(Wait::Write);
        default:
            return false;
    }
}

std::string Connection::serverName() const {
    const char* name = m_ssl ? SSL_get_servername(m_ssl, TLSEXT_NAMETYPE_host_name) : nullptr;
    return name ? name : "";
}

bool Connection::handshake() {
    if (!m_ssl) return true;
    for (;;) {
        int result = SSL_accept(m_ssl);
        if (result == 1) return true;
        if (!waitAfterTlsResult(result)) return false;
    }
}

bool Connection::readSome(std::string& buffer) {
    char chunk[16384];
    for (;;) {
        if (m_stopping.load()) return false;
        if (m_ssl) {
            int result = SSL_read(m_ssl, chunk, sizeof chunk);
            if (result > 0) {
                buffer.append(chunk, static_cast<size_t>(result));
                return true;
            }
            if (!waitAfterTlsResult(result)) return false;
            continue;
        }
        ssize_t result = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (result > 0) {
            buffer.append(chunk, static_cast<size_t>(result));
            return true;
        }
        if (result == 0) return false;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (!waitFor(Wait::Read)) return false;
    }
}

bool Connection::writeAll(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        if (m_stopping.load()) return false;
        const char* from = data.data() + sent;
        size_t left = data.size() - sent;
        if (m_ssl) {
            int result = SSL_write(m_ssl, from, static_cast<int>(left > 1 << 20 ? 1 << 20 : left));
            if (result > 0) {
                sent += static_cast<size_t>(result);
                continue;
            }
            if (!waitAfterTlsResult(result)) return false;
            continue;
        }
        ssize_t result = ::send(m_fd, from, left, MSG_NOSIGNAL);
        if (result > 0) {
            sent += static_cast<size_t>(result);
            continue;
        }
        if (result < 0 && errno == EINTR) continue;
        if (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (!waitFor(Wait::Write)) return false;
    }
    return true;
}

void Connection::closeGracefully() {
    // One attempt only: the peer may already be gone, and the socket is non-blocking.
    if (m_ssl) SSL_shutdown(m_ssl);
}

}  // namespace kytest
