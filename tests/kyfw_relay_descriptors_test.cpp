// Out of descriptors: connections queued at a tunnel while the process has none to spare are served as
// soon as descriptors free up, not left in the queue nor accepted and reset; and one that waits in the
// queue past the connect time-out is reset rather than left waiting for ever.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include <string>
#include <vector>

#include "KyFwControl.h"
#include "support/echo_server.h"
#include "support/process_kit.h"
#include "support/relay_kit.h"
#include "support/socket_kit.h"

namespace kytest {
namespace {

// Exit codes of the child: 0 when every queued connection was served in turn.
enum ChildResult {
    kServed = 0,
    kNoTunnel = 2,
    kNoLimit = 3,
    kNoClient = 4,
    kNotReset = 5,
    kNoDescriptorsLeftOver = 6,
    kFirstUnserved = 10
};

int ServeMoreConnectionsThanDescriptors(int echoPort) {
    const int tunnel = OpenTunnel("*scarce*0*0", echoPort);
    if (tunnel == 0) return kNoTunnel;
    // The clients take twelve of twenty spare descriptors: the relay, at two a connection, can serve four
    // at a time, and is short of one now and then when it accepts a connection but has no descriptor left
    // for the target.
    constexpr int kSpare = 20;
    constexpr int kClients = 12;
    const rlim_t limit = kytest::OpenDescriptors() + kSpare;
    const rlimit low{limit, limit};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) return kNoLimit;
    // Every client socket exists before the first connects: the relay starts accepting at once, and
    // a socket made after that could find its descriptor taken.
    std::vector<kytest::Socket> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(kytest::TcpSocket());
        if (!clients.back().valid()) return kNoClient;
    }
    for (kytest::Socket& client : clients) {
        kytest::BoundIo(client.fd());
        if (!kytest::ConnectLoopback(client.fd(), tunnel)) return kNoClient;
    }
    for (int i = 0; i < kClients; ++i) {
        if (!RoundTrip(clients[i].fd(), "queued " + std::to_string(i))) return kFirstUnserved + i;
        clients[i].close();
    }
    return kServed;
}

// The process keeps every descriptor it has to itself for the length of its wait: the connection queued
// at the tunnel meanwhile must end, not hang, and the tunnel serve again once descriptors are back.
int ResetAConnectionQueuedPastTheConnectTimeOut(int echoPort) {
    kyfw::RelayLimits limits;
    limits.connectTimeoutMs = 200;
    kyfw::setRelayLimits(limits);
    const int tunnel = OpenTunnel("*starved*0*0", echoPort);
    if (tunnel == 0) return kNoTunnel;
    constexpr int kSpare = 16;
    const rlim_t limit = kytest::OpenDescriptors() + kSpare;
    const rlimit low{limit, limit};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) return kNoLimit;
    kytest::Socket queued = kytest::TcpSocket();
    if (!queued.valid()) return kNoClient;
    kytest::BoundIo(queued.fd());
    std::vector<int> taken;
    for (int i = 0; i < kSpare; ++i) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        taken.push_back(fd);
    }
    if (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0 || errno != EMFILE) return kNoDescriptorsLeftOver;
    if (!kytest::ConnectLoopback(queued.fd(), tunnel)) return kNoClient;
    const int end = EndOfStream(queued.fd());
    for (int fd : taken) close(fd);
    if (end != ECONNRESET) return kNotReset;
    kytest::Socket later = kytest::ConnectTo(tunnel);
    return later.valid() && RoundTrip(later.fd(), "served again") ? kServed : kFirstUnserved;
}

TEST(RelayDescriptors, AConnectionQueuedPastTheConnectTimeOutIsResetNotLeftWaiting) {
    kytest::EchoServer echo;
    const int port = echo.port();
    EXPECT_EQ(kytest::RunInChild([port] { return ResetAConnectionQueuedPastTheConnectTimeOut(port); }),
              kServed);
}

TEST(RelayDescriptors, QueuedConnectionsAreServedOnceDescriptorsFreeUp) {
    kytest::EchoServer echo;
    const int port = echo.port();
    EXPECT_EQ(kytest::RunInChild([port] { return ServeMoreConnectionsThanDescriptors(port); }), kServed);
}

}  // namespace
}  // namespace kytest
