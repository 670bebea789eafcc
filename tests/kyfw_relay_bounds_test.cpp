// The relay's bounds: the connect time-out towards the target, the idle time-out, the cap on relayed
// connections, the buffers given back, and the limits read from the environment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "KyFwControl.h"
#include "support/echo_server.h"
#include "support/eventually.h"
#include "support/fresh_firewall.h"
#include "support/relay_kit.h"
#include "support/socket_kit.h"

namespace kytest {
namespace {

class RelayBounds : public testing::Test {
  protected:
    void TearDown() override { kyfw::setRelayLimits(kyfw::RelayLimits()); }

    static void Limit(long connectTimeoutMs, long idleTimeoutMs, long maxConnections) {
        kyfw::RelayLimits limits;
        limits.connectTimeoutMs = connectTimeoutMs;
        limits.idleTimeoutMs = idleTimeoutMs;
        limits.maxConnections = maxConnections;
        kyfw::setRelayLimits(limits);
    }
    // Fills the relay's buffers on the way to a target that reads nothing, then closes the clients.
    static void HoldAndRelease(const char* name, size_t keptBuffersAtMost);

    kytest::FreshFirewall firewall;
};

// Connects without waiting; true when the handshake completes within 200 ms.
bool HandshakeCompletes(int port, std::vector<Socket>& held) {
    held.push_back(kytest::TcpSocket(SOCK_NONBLOCK));
    if (kytest::ConnectLoopback(held.back().fd(), port)) return true;
    pollfd writable{held.back().fd(), POLLOUT, 0};
    return poll(&writable, 1, 200) == 1;
}

TEST_F(RelayBounds, TargetThatNeverAnswersTheHandshakeIsGivenUp) {
    Limit(300, 600000, 8192);
    // A listener that never accepts, its queue filled: further handshakes get no answer at all.
    int port = 0;
    Socket listener = kytest::BindLoopback(port, 1);
    std::vector<Socket> held;
    for (int i = 0; i < 8 && HandshakeCompletes(port, held); ++i) {
    }
    ASSERT_FALSE(HandshakeCompletes(port, held)) << "the accept queue did not fill";

    const int tunnel = OpenTunnel("*silent*0*0", port);
    Socket client = ConnectTo(tunnel);
    ASSERT_TRUE(client.valid());
    EXPECT_EQ(EndOfStream(client.fd()), ECONNRESET);
    EXPECT_TRUE(Eventually([] { return kyfw::liveConnectionCount() == 0; }));
}

TEST_F(RelayBounds, ConnectionOnWhichNothingMovesIsReset) {
    Limit(10000, 1000, 8192);
    kytest::EchoServer echo;
    const int tunnel = OpenTunnel("*idle*0*0", echo.port());
    Socket busy = ConnectTo(tunnel);
    Socket idle = ConnectTo(tunnel);
    ASSERT_TRUE(busy.valid() && idle.valid());
    ASSERT_TRUE(RoundTrip(idle.fd(), "once"));
    // Traffic every 50 ms for 2.5 s keeps a connection alive past twice the idle time-out.
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(RoundTrip(busy.fd(), "tick")) << "round " << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(EndOfStream(idle.fd()), ECONNRESET);
    EXPECT_TRUE(RoundTrip(busy.fd(), "still"));
    EXPECT_TRUE(Eventually([&echo] { return echo.resets() == 1; }));
}

TEST_F(RelayBounds, ConnectionsBeyondTheCapAreRefused) {
    Limit(10000, 600000, 3);
    kytest::EchoServer echo;
    const int tunnel = OpenTunnel("*capped*0*0", echo.port());
    std::vector<Socket> admitted;
    for (int i = 0; i < 3; ++i) {
        admitted.push_back(ConnectTo(tunnel));
        ASSERT_TRUE(RoundTrip(admitted.back().fd(), "in"));
    }
    Socket refused = ConnectTo(tunnel);
    ASSERT_TRUE(refused.valid());
    EXPECT_EQ(EndOfStream(refused.fd()), ECONNRESET);
    EXPECT_EQ(kyfw::liveConnectionCount(), 3u);

    admitted.pop_back();
    ASSERT_TRUE(Eventually([] { return kyfw::liveConnectionCount() == 2; }));
    Socket next = ConnectTo(tunnel);
    EXPECT_TRUE(RoundTrip(next.fd(), "room again"));
}

// Copied bytes wait in the relay's buffers, spliced ones in its pipes: both are given back.
TEST_F(RelayBounds, BuffersAreGivenBackWhenTheirConnectionsClose) {
    for (long splice : {0L, 1L}) {
        SCOPED_TRACE(splice ? "spliced" : "copied");
        kyfw::RelayLimits limits;
        limits.splice = splice;
        kyfw::setRelayLimits(limits);
        // What stays is the few buffers kept for reuse, and when splicing the few pipes.
        HoldAndRelease(splice ? "*holding-spliced*0*0" : "*holding-copied*0*0", splice ? 16 + 4 : 16);
        kyfw::closeAllTunnels();
    }
}

void RelayBounds::HoldAndRelease(const char* name, size_t keptBuffersAtMost) {
    kytest::EchoServer holder(kytest::EchoServer::Mode::Hold);
    const int tunnel = OpenTunnel(name, holder.port());
    constexpr size_t kConnections = 40;
    std::vector<Socket> clients;
    const std::string chunk(size_t{64} * 1024, 'b');
    for (size_t i = 0; i < kConnections; ++i) {
        clients.push_back(ConnectTo(tunnel));
        ASSERT_TRUE(clients.back().valid());
        fcntl(clients.back().fd(), F_SETFL, O_NONBLOCK);
        // Until the target's socket, the relay's buffer and the client's socket stay full.
        pollfd writable{clients.back().fd(), POLLOUT, 0};
        for (int round = 0; round < 100 && poll(&writable, 1, 20) == 1; ++round) {
            while (send(clients.back().fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
            }
        }
    }
    EXPECT_TRUE(Eventually([] { return kyfw::relayBufferBytes() >= kConnections * kyfw::kRelayBufferSize; }))
        << kyfw::relayBufferBytes();
    for (Socket& client : clients) client.reset();
    EXPECT_TRUE(Eventually([] { return kyfw::liveConnectionCount() == 0; }));
    EXPECT_LE(kyfw::relayBufferBytes(), keptBuffersAtMost * kyfw::kRelayBufferSize);
}

struct EnvironmentRow {
    const char* connectTimeout;  // null: unset
    const char* idleTimeout;
    const char* maxConnections;
    long connectTimeoutMs;
    long idleTimeoutMs;
    long maxConnectionsExpected;
    bool complaint;
};

TEST(RelayLimitsFromEnvironment, EachVariableSetsItsLimitAndABadValueKeepsTheDefault) {
    const kyfw::RelayLimits defaults;
    const EnvironmentRow rows[] = {
        {nullptr, nullptr, nullptr, defaults.connectTimeoutMs, defaults.idleTimeoutMs,
         defaults.maxConnections, false},
        {"250", "0", "12", 250, 0, 12, false},
        {"0", "86400000", "1000000", 0, 86400000, 1000000, false},
        {"abc", nullptr, nullptr, defaults.connectTimeoutMs, defaults.idleTimeoutMs, defaults.maxConnections,
         true},
        {nullptr, "-5", nullptr, defaults.connectTimeoutMs, defaults.idleTimeoutMs, defaults.maxConnections,
         true},
        {nullptr, nullptr, "", defaults.connectTimeoutMs, defaults.idleTimeoutMs, defaults.maxConnections,
         true},
        {"12ms", nullptr, nullptr, defaults.connectTimeoutMs, defaults.idleTimeoutMs, defaults.maxConnections,
         true},
        {nullptr, "86400001", "1000001", defaults.connectTimeoutMs, defaults.idleTimeoutMs,
         defaults.maxConnections, true},
    };
    for (const EnvironmentRow& row : rows) {
        SCOPED_TRACE(testing::Message() << (row.connectTimeout ? row.connectTimeout : "-") << " "
                                        << (row.idleTimeout ? row.idleTimeout : "-") << " "
                                        << (row.maxConnections ? row.maxConnections : "-"));
        const std::pair<const char*, const char*> variables[] = {
            {"KYFW_CONNECT_TIMEOUT_MS", row.connectTimeout},
            {"KYFW_IDLE_TIMEOUT_MS", row.idleTimeout},
            {"KYFW_MAX_CONNECTIONS", row.maxConnections}};
        for (const auto& variable : variables) {
            if (variable.second) {
                setenv(variable.first, variable.second, 1);
            } else {
                unsetenv(variable.first);
            }
        }
        kyfw::resetRelayLimits();
        testing::internal::CaptureStderr();
        const kyfw::RelayLimits limits = kyfw::relayLimits();
        const std::string complaint = testing::internal::GetCapturedStderr();
        EXPECT_EQ(limits.connectTimeoutMs, row.connectTimeoutMs);
        EXPECT_EQ(limits.idleTimeoutMs, row.idleTimeoutMs);
        EXPECT_EQ(limits.maxConnections, row.maxConnectionsExpected);
        EXPECT_EQ(!complaint.empty(), row.complaint) << complaint;
    }
    unsetenv("KYFW_CONNECT_TIMEOUT_MS");
    unsetenv("KYFW_IDLE_TIMEOUT_MS");
    unsetenv("KYFW_MAX_CONNECTIONS");
    setenv("KYFW_IDLE_TIMEOUT_MS", "x", 1);
    kyfw::resetRelayLimits();
    testing::internal::CaptureStderr();
    kyfw::relayLimits();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "kyfw: KYFW_IDLE_TIMEOUT_MS=\"x\" is not a whole number from 0 to 86400000, 600000 used\n");
    unsetenv("KYFW_IDLE_TIMEOUT_MS");
    kyfw::resetRelayLimits();
}

}  // namespace
}  // namespace kytest
