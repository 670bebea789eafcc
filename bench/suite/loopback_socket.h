// TCP sockets on 127.0.0.1 for the suite's own servers, relays and clients.
#ifndef KYBENCH_SUITE_LOOPBACK_SOCKET_H
#define KYBENCH_SUITE_LOOPBACK_SOCKET_H

namespace kybench {

// A listening socket on a free port of 127.0.0.1 (extraFlags added to the socket type, SOCK_NONBLOCK
// say), its port in port; -1 on failure.
int ListenLoopback(int backlog, int& port, int extraFlags = 0);
// A connection to port on 127.0.0.1 with Nagle's delay off, as every figure's traffic is; -1 on failure.
int ConnectLoopback(int port);
void SetNoDelay(int fd);

}  // namespace kybench

#endif
