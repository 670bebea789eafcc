// A listening socket on 127.0.0.1 at a port the kernel picks, for the test servers.
#ifndef KYTEST_LOOPBACK_LISTENER_H
#define KYTEST_LOOPBACK_LISTENER_H

namespace kytest {

// A non-blocking listening socket, its port in port; -1 when none could be made.
int ListenOnLoopback(int& port);

}  // namespace kytest

#endif
