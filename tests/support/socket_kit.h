// Plain TCP sockets on 127.0.0.1 for tests that work below HTTP: an owned descriptor, a bound or listening
// socket on a free port, a client connection, and whole sends and reads.
#ifndef KYTEST_SOCKET_KIT_H
#define KYTEST_SOCKET_KIT_H

#include <cstddef>
#include <string>

namespace kytest {

// A client connection's reads and writes give up after this long, so a fault fails the test instead of
// hanging it.
constexpr int kSocketIoLimitSeconds = 10;

// Owns one socket descriptor and closes it when destroyed.
class Socket {
  public:
    explicit Socket(int fd = -1) : m_fd(fd) {}
    ~Socket() { close(); }
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void close();
    // Closes with a zero linger time: the peer gets a reset instead of an orderly end.
    void reset();

  private:
    int m_fd;
};

// An unconnected TCP socket, closed on exec; extraFlags are added to the socket type (SOCK_NONBLOCK).
// For a test that must make its sockets before it connects them. Empty on failure.
Socket TcpSocket(int extraFlags = 0);
// A socket bound to a free port on 127.0.0.1, listening when backlog is above 0; extraFlags are added to
// the socket type (SOCK_NONBLOCK). Empty, with port 0, on failure.
Socket BindLoopback(int& port, int backlog, int extraFlags = 0);
// A socket listening on 127.0.0.1 at exactly port; empty on failure (errno from bind or listen).
Socket ListenAt(int port, int backlog);
// Connects the socket fd to port on 127.0.0.1; false, with errno from connect, when that fails (a
// non-blocking socket's handshake still under way included: EINPROGRESS).
bool ConnectLoopback(int fd, int port);
// A connection to port on 127.0.0.1 with bounded reads and writes; empty, with errno from connect, when
// the connection fails.
Socket ConnectTo(int port);
// Bounds every later read and write on fd by kSocketIoLimitSeconds.
void BoundIo(int fd);
bool SendAll(int fd, const char* data, size_t size);
bool SendAll(int fd, const std::string& data);
// Reads exactly size bytes; fewer when the stream ends or fails first.
std::string ReceiveExactly(int fd, size_t size);

}  // namespace kytest

#endif
