#include "plain_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace kybench {
namespace {

constexpr size_t kBufferSize = 64 * 1024;

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

void NoDelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

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
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_wake = eventfd(0, EFD_CLOEXEC);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (m_listener < 0 || m_epoll < 0 || m_wake < 0 ||
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(m_listener, 16) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    for (int fd : {m_listener, m_wake}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) return 0;
    }
    m_thread = std::thread([this] { Run(); });
    return ntohs(address.sin_port);
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
    int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(m_targetPort);
    if (target < 0 || connect(target, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(client);
        if (target >= 0) close(target);
        return;
    }
    NoDelay(client);
    NoDelay(target);
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
