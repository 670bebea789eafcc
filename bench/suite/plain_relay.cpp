#include "plain_relay.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "loopback_socket.h"

namespace kybench {
namespace {

constexpr size_t kBufferSize = 64 * 1024;

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

PlainRelay::~PlainRelay() {
    if (m_thread.joinable()) {
        m_stop = true;
        uint64_t one = 1;
        if (write(m_wake, &one, sizeof one) == sizeof one)
            m_thread.join();
        else
            m_thread.detach();
    }
    for (auto& pair : m_peer) close(pair.first);
    for (int fd : {m_listener, m_epoll, m_wake})
        if (fd >= 0) close(fd);
}

int PlainRelay::Start(int targetPort) {
    m_targetPort = targetPort;
    int port = 0;
    m_listener = ListenLoopback(16, port);
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_wake = eventfd(0, EFD_CLOEXEC);
    if (m_listener < 0 || m_epoll < 0 || m_wake < 0) return 0;
    for (int fd : {m_listener, m_wake}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) return 0;
    }
    m_thread = std::thread([this] { Run(); });
    return port;
}

void PlainRelay::Run() {
    epoll_event events[16];
    while (!m_stop) {
        int count = epoll_wait(m_epoll, events, 16, -1);
        for (int i = 0; i < count && !m_stop; ++i) {
            int fd = events[i].data.fd;
            if (fd == m_listener) {
                Accept();
            } else if (fd != m_wake && m_peer.count(fd) && !Forward(fd)) {
                ClosePair(fd);
            }
        }
    }
}

void PlainRelay::Accept() {
    int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    int target = ConnectLoopback(m_targetPort);
    if (target < 0) {
        close(client);
        return;
    }
    SetNoDelay(client);
    m_peer[client] = target;
    m_peer[target] = client;
    for (int fd : {client, target}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    }
}

bool PlainRelay::Forward(int fd) {
    char buffer[kBufferSize];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    return WriteAll(m_peer[fd], buffer, static_cast<size_t>(n));
}

void PlainRelay::ClosePair(int fd) {
    int peer = m_peer[fd];
    for (int end : {fd, peer}) {
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, end, nullptr);
        close(end);
        m_peer.erase(end);
    }
}

}  // namespace kybench
