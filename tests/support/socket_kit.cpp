#include "support/socket_kit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace kytest {

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

Socket::Socket(Socket&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void Socket::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void Socket::reset() {
    linger hard{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close();
}

Socket TcpSocket(int extraFlags) {
    return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | extraFlags, 0));
}

Socket BindLoopback(int& port, int backlog, int extraFlags) {
    port = 0;
    Socket socket = TcpSocket(extraFlags);
    if (!socket.valid()) return socket;
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (backlog > 0 && ::listen(socket.fd(), backlog) != 0) ||
        ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return Socket();
    }
    port = ntohs(address.sin_port);
    return socket;
}

Socket ListenAt(int port, int backlog) {
    Socket socket = TcpSocket();
    if (!socket.valid()) return socket;
    sockaddr_in address = Loopback(port);
    if (::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket.fd(), backlog) != 0) {
        return Socket();
    }
    return socket;
}

bool ConnectLoopback(int fd, int port) {
    sockaddr_in address = Loopback(port);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

Socket ConnectTo(int port) {
    Socket socket = TcpSocket();
    if (!socket.valid()) return socket;
    BoundIo(socket.fd());
    if (!ConnectLoopback(socket.fd(), port)) {
        const int error = errno;
        socket.close();
        errno = error;
    }
    return socket;
}

void BoundIo(int fd) {
    timeval limit{kSocketIoLimitSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool SendAll(int fd, const std::string& data) { return SendAll(fd, data.data(), data.size()); }

std::string ReceiveExactly(int fd, size_t size) {
    std::string data(size, '\0');
    size_t got = 0;
    while (got < size) {
        const ssize_t read = ::recv(fd, &data[got], size - got, 0);
        if (read <= 0) break;
        got += static_cast<size_t>(read);
    }
    data.resize(got);
    return data;
}

}  // namespace kytest
