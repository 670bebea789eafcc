#include "socket_ops.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "numeric_address.h"

namespace kyfw {
namespace {

sigset_t sigpipeOnly() {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    return pipeSignal;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int UniqueFd::release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UniqueFd::reset(int fd) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
}

void UniqueFd::abort() {
    if (m_fd < 0) return;
    linger hard{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    reset();
}

bool makeSocketAddress(const std::string& address, int port, SocketAddress& out) {
    out = SocketAddress();
    in6_addr parsed;
    const int family = parseNumericAddress(address, parsed);
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        memcpy(&v4->sin_addr, &parsed, sizeof v4->sin_addr);
        out.length = sizeof(sockaddr_in);
        return true;
    }
    if (family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        v6->sin6_addr = parsed;
        out.length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

size_t acceptQueueLength(int listener) {
    tcp_info info{};
    socklen_t length = sizeof info;
    // For a listening socket the kernel reports its queue in the field of unacknowledged segments.
    if (getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return 0;
    return info.tcpi_unacked;
}

int takeSocketError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

void setNoDelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void blockSigpipe() {
    const sigset_t pipeSignal = sigpipeOnly();
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
}

void takePendingSigpipe() {
    const sigset_t pipeSignal = sigpipeOnly();
    timespec now{0, 0};
    while (sigtimedwait(&pipeSignal, nullptr, &now) == SIGPIPE) {
    }
}

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool isDescriptorShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace kyfw
