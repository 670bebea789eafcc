// Out of descriptors: connections queued at a tunnel while the process has none to spare are served as
// soon as descriptors free up, not left in the queue nor accepted and reset.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "support/relay_kit.h"
#include "support/socket_kit.h"

namespace {

// Exit codes of the child: 0 when every queued connection was served in turn.
enum ChildResult { kServed = 0, kNoTunnel = 2, kNoLimit = 3, kNoClient = 4, kFirstUnserved = 10 };

int ServeMoreConnectionsThanDescriptors(int echoPort) {
    const int tunnel = relaytest::OpenTunnel("*scarce*0*0", echoPort);
    if (tunnel == 0) return kNoTunnel;
    // The clients take twelve of twenty spare descriptors: the relay, at two a connection, can serve four
    // at a time, and is short of one now and then when it accepts a connection but has no descriptor left
    // for the target.
    constexpr int kSpare = 20;
    constexpr int kClients = 12;
    const rlim_t limit = relaytest::OpenDescriptors() + kSpare;
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
        if (!relaytest::RoundTrip(clients[i].fd(), "queued " + std::to_string(i))) return kFirstUnserved + i;
        clients[i].close();
    }
    return kServed;
}

TEST(RelayDescriptors, QueuedConnectionsAreServedOnceDescriptorsFreeUp) {
    relaytest::Target echo;
    const int port = echo.port();
    EXPECT_EQ(relaytest::RunInChild([port] { return ServeMoreConnectionsThanDescriptors(port); }), kServed);
}

}  // namespace
