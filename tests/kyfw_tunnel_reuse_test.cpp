// One tunnel per destination: the live tunnel's port for the same host, port and target; a new tunnel
// once the old one was closed or its listener failed.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "KyFwClient.h"
#include "KyFwControl.h"
#include "support/echo_server.h"
#include "support/eventually.h"
#include "support/fresh_firewall.h"
#include "support/relay_kit.h"
#include "support/socket_kit.h"

namespace kytest {
namespace {

class TunnelReuse : public testing::Test {
  protected:
    kytest::FreshFirewall firewall;
};

TEST_F(TunnelReuse, SameDestinationGetsTheLiveTunnelOthersTheirOwn) {
    kyfw::setRoute("peer", kyfw::Route::Tunnel);
    const int first = OpenTunnel("*peer*0*0", 80);
    ASSERT_NE(first, 0);
    struct Row {
        const char* name;
        int port;
        bool same;
    };
    const Row rows[] = {
        {"*peer*0*0", 80, true},        {"peer", 80, true},
        {"acct*PEER*3*-4", 80, true},   {"*peer*0*0", 81, false},
        {"*other-peer*0*0", 80, false},
    };
    std::map<int, int> tunnels{{first, 1}};
    for (const Row& row : rows) {
        const int port = OpenTunnel(row.name, row.port);
        ASSERT_NE(port, 0) << row.name;
        EXPECT_EQ(port == first, row.same) << row.name << " " << row.port;
        ++tunnels[port];
    }
    // The same host relayed to another target is another destination.
    kyfw::setRoute("peer", kyfw::Route::Tunnel, "::1");
    const int elsewhere = OpenTunnel("*peer*0*0", 80);
    EXPECT_EQ(tunnels.count(elsewhere), 0u);
    EXPECT_EQ(kyfw::liveTunnelCount(), 4u);
}

TEST_F(TunnelReuse, ClosedTunnelIsReplacedByAWorkingOne) {
    kytest::EchoServer echo;
    const int port = OpenTunnel("*replaced*0*0", echo.port());
    ASSERT_TRUE(kyfw::closeTunnel(port));
    const int replacement = OpenTunnel("*replaced*0*0", echo.port());
    ASSERT_NE(replacement, 0);
    EXPECT_EQ(OpenTunnel("*replaced*0*0", echo.port()), replacement);
    EXPECT_EQ(KyFwTunnelState(port, "*replaced*0*0", echo.port()), KYFW_TUNNEL_UNKNOWN);
    EXPECT_EQ(KyFwTunnelState(replacement, "*replaced*0*0", echo.port()), KYFW_TUNNEL_LIVE);
    kytest::Socket client = kytest::ConnectTo(replacement);
    ASSERT_TRUE(client.valid());
    EXPECT_TRUE(RoundTrip(client.fd(), "again"));
    EXPECT_EQ(kyfw::liveTunnelCount(), 1u);
}

// The listening socket of the tunnel at port, found among the process's descriptors.
int ListenerOf(int port) {
    DIR* fds = opendir("/proc/self/fd");
    if (!fds) return -1;
    int found = -1;
    while (dirent* entry = readdir(fds)) {
        const int fd = atoi(entry->d_name);
        sockaddr_in address{};
        socklen_t length = sizeof address;
        int listening = 0;
        socklen_t flagLength = sizeof listening;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            address.sin_family == AF_INET && ntohs(address.sin_port) == port &&
            getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagLength) == 0 && listening)
            found = fd;
    }
    closedir(fds);
    return found;
}

TEST_F(TunnelReuse, TunnelWhoseListenerFailedIsReplaced) {
    kytest::EchoServer echo;
    const int port = OpenTunnel("*failing*0*0", echo.port());
    const int listener = ListenerOf(port);
    ASSERT_GE(listener, 0);
    // A listening socket shut down stops listening: accept() fails on it from then on.
    ASSERT_EQ(shutdown(listener, SHUT_RDWR), 0);
    EXPECT_TRUE(kytest::Eventually([] { return kyfw::liveTunnelCount() == 0; }));
    const int replacement = OpenTunnel("*failing*0*0", echo.port());
    ASSERT_NE(replacement, 0);
    kytest::Socket client = kytest::ConnectTo(replacement);
    ASSERT_TRUE(client.valid());
    EXPECT_TRUE(RoundTrip(client.fd(), "served"));
}

TEST_F(TunnelReuse, ConcurrentSetUpsOpenOneTunnelPerDestination) {
    constexpr int kThreads = 16;
    constexpr int kDestinations = 50;
    std::vector<std::vector<int>> ports(kThreads, std::vector<int>(kDestinations, 0));
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&ports, t] {
            std::vector<int> order(kDestinations);
            for (int d = 0; d < kDestinations; ++d) order[d] = d;
            std::shuffle(order.begin(), order.end(), std::mt19937(t));
            for (int d : order) {
                const std::string name = "*dest" + std::to_string(d) + "*0*0";
                ports[t][d] = OpenTunnel(name.c_str(), 8000 + d);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int d = 0; d < kDestinations; ++d) {
        EXPECT_NE(ports[0][d], 0);
        for (int t = 1; t < kThreads; ++t) EXPECT_EQ(ports[t][d], ports[0][d]) << "destination " << d;
    }
    EXPECT_EQ(kyfw::liveTunnelCount(), static_cast<size_t>(kDestinations));
}

}  // namespace
}  // namespace kytest
