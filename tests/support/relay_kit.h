// What the relay tests share beyond the socket kit: tunnels, round trips through them, and how a stream
// ended.
#ifndef KYTEST_RELAY_KIT_H
#define KYTEST_RELAY_KIT_H

#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "KyFwClient.h"
#include "support/socket_kit.h"

namespace kytest {

// Sends message and reads it back: what an echoing target through a working tunnel does.
inline bool RoundTrip(int fd, const std::string& message) {
    return kytest::SendAll(fd, message) && kytest::ReceiveExactly(fd, message.size()) == message;
}

// The errno of the read that ends the stream: 0 for an orderly end, ECONNRESET for a reset, EAGAIN when
// nothing came in time.
inline int EndOfStream(int fd) {
    char byte;
    ssize_t n = recv(fd, &byte, 1, 0);
    if (n == 0) return 0;
    return n < 0 ? errno : -1;
}

inline int OpenTunnel(const char* name, int port) {
    KyFwError err;
    return KyFwClient::setupTPPM(name, port, nullptr, &err);
}

}  // namespace kytest

#endif
