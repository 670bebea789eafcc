// Small socket helpers for the tunnel relay.
#ifndef WZNETWORK_SOCKET_OPS_H
#define WZNETWORK_SOCKET_OPS_H

#include <sys/socket.h>

#include <string>

namespace kyfw {

// Owns one file descriptor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);
    // Closes with a reset instead of an orderly end, so the peer sees the connection fail.
    void abort();

  private:
    int m_fd = -1;
};

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// A numeric IPv4 or IPv6 address with port; false when address is not one.
bool makeSocketAddress(const std::string& address, int port, SocketAddress& out);

// Connections that completed their handshake and wait in a listener's queue for accept().
size_t acceptQueueLength(int listener);

// The pending error of a socket (0 when none), cleared by reading it.
int takeSocketError(int fd);

void setNoDelay(int fd);

// The highest TCP port; a port is 1 to it.
constexpr int kHighestPort = 65535;
inline bool isPort(long port) { return port > 0 && port <= kHighestPort; }

// Splicing into a socket whose peer has gone raises SIGPIPE at the calling thread (MSG_NOSIGNAL does not
// reach splice()). The relay's thread blocks it, and takes a pending one where it arises, so that it never
// reaches the process.
void blockSigpipe();
void takePendingSigpipe();

// A non-blocking call found nothing to do for now.
bool wouldBlock(int error);
// The process or the system is out of descriptors or socket memory: worth trying again once some are freed.
bool isDescriptorShortage(int error);

}  // namespace kyfw

#endif
