// A port on 127.0.0.1 where connecting is refused.
#ifndef KYTEST_REFUSED_PORT_H
#define KYTEST_REFUSED_PORT_H

#include <string>

#include "support/socket_kit.h"

namespace kytest {

// Holds a socket bound to a free port without listening on it: connecting is refused for as long as the
// object lives, and no other socket (another test's server under ctest -j) can be given the port meanwhile.
class RefusedPort {
  public:
    RefusedPort() : m_socket(BindLoopback(m_port, 0)) {}

    int port() const { return m_port; }
    // "http://127.0.0.1:<port><path>".
    std::string url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

  private:
    int m_port = 0;
    Socket m_socket;
};

}  // namespace kytest

#endif
