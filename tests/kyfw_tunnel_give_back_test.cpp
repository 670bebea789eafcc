// Tunnels given back: when idle, and at the cap the least recently used idle one; the set-up that finds
// every tunnel busy fails at once; ports come from a range and stay out of use for a quarantine; and the
// library never sends a request through the port of a tunnel that was given back, whoever listens there.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "KyFwClient.h"
#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/echo_server.h"
#include "support/eventually.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/relay_kit.h"
#include "support/socket_kit.h"
#include "support/test_server.h"
#include "support/tppm_test_helpers.h"

namespace kytest {
namespace {

bool IsLive(int localPort) {
    const std::vector<kyfw::TunnelInfo> tunnels = kyfw::liveTunnels();
    return std::any_of(tunnels.begin(), tunnels.end(),
                       [localPort](const kyfw::TunnelInfo& tunnel) { return tunnel.localPort == localPort; });
}

// Opens a connection through the tunnel, sends a message both ways and closes it, so that the tunnel's
// last use is now.
bool UseOnce(int localPort) {
    const size_t before = kyfw::liveConnectionCount();
    Socket client = ConnectTo(localPort);
    if (!client.valid() || !RoundTrip(client.fd(), "use")) return false;
    client.close();
    return Eventually([before] { return kyfw::liveConnectionCount() == before; });
}

class TunnelGiveBack : public testing::Test {
  protected:
    void TearDown() override { kyfw::setRelayLimits(kyfw::RelayLimits()); }

    // The connect time-out is also how long a port just handed out is kept for its client.
    static void Limit(long tunnelIdleMs, long maxTunnels, long connectTimeoutMs = 10000) {
        kyfw::RelayLimits limits;
        limits.tunnelIdleMs = tunnelIdleMs;
        limits.maxTunnels = maxTunnels;
        limits.connectTimeoutMs = connectTimeoutMs;
        kyfw::setRelayLimits(limits);
    }

    kytest::EchoServer echo;
    kytest::FreshFirewall firewall;
};

TEST_F(TunnelGiveBack, IdleTunnelIsGivenBackOnlyOnceItsLastConnectionHasEnded) {
    Limit(100, 512);
    const int tunnel = OpenTunnel("*idle*0*0", echo.port());
    ASSERT_NE(tunnel, 0);
    Socket held = ConnectTo(tunnel);
    ASSERT_TRUE(RoundTrip(held.fd(), "first"));
    // Busy for several idle time-outs: still there, and still relaying.
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(IsLive(tunnel));
    }
    ASSERT_TRUE(RoundTrip(held.fd(), "still"));
    std::vector<kyfw::TunnelInfo> listed = kyfw::liveTunnels();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].connections, 1u);
    EXPECT_EQ(listed[0].host, "idle");
    EXPECT_EQ(listed[0].port, echo.port());
    EXPECT_EQ(listed[0].idleMs, 0);

    held.close();
    EXPECT_TRUE(Eventually([tunnel] { return !IsLive(tunnel); }));
    EXPECT_EQ(KyFwTunnelState(tunnel, "*idle*0*0", echo.port()), KYFW_TUNNEL_GONE);
    EXPECT_FALSE(ConnectTo(tunnel).valid());
}

TEST_F(TunnelGiveBack, TunnelNobodyConnectsToIsGivenBackAfterTheConnectTimeOut) {
    Limit(50, 512, 200);
    const int tunnel = OpenTunnel("*unused*0*0", echo.port());
    ASSERT_NE(tunnel, 0);
    EXPECT_TRUE(Eventually([tunnel] { return !IsLive(tunnel); }));
    EXPECT_EQ(KyFwTunnelState(tunnel, "*unused*0*0", echo.port()), KYFW_TUNNEL_GONE);
}

TEST_F(TunnelGiveBack, AtTheCapTheLeastRecentlyUsedIdleTunnelMakesRoom) {
    Limit(0, 3, 200);
    const int a = OpenTunnel("*cap-a*0*0", echo.port());
    const int b = OpenTunnel("*cap-b*0*0", echo.port());
    const int c = OpenTunnel("*cap-c*0*0", echo.port());
    ASSERT_TRUE(a != 0 && b != 0 && c != 0);
    // Last use, oldest first: b, c, a.
    ASSERT_TRUE(UseOnce(b));
    ASSERT_TRUE(UseOnce(c));
    ASSERT_TRUE(UseOnce(a));

    const int d = OpenTunnel("*cap-d*0*0", echo.port());
    ASSERT_NE(d, 0);
    EXPECT_FALSE(IsLive(b));
    EXPECT_TRUE(IsLive(a) && IsLive(c) && IsLive(d));
    EXPECT_EQ(kyfw::liveTunnelCount(), 3u);
    EXPECT_TRUE(UseOnce(d));
}

TEST_F(TunnelGiveBack, AtTheCapWithEveryTunnelBusyTheSetUpFailsAtOnce) {
    kytest::TestServer server;
    kyfw::setRoute("", kyfw::Route::Tunnel);
    Limit(0, 2, 200);
    std::vector<Socket> held;
    for (const char* name : {"*busy-a*0*0", "*busy-b*0*0"}) {
        const int tunnel = OpenTunnel(name, echo.port());
        ASSERT_NE(tunnel, 0);
        held.push_back(ConnectTo(tunnel));
        ASSERT_TRUE(RoundTrip(held.back().fd(), "busy"));
    }

    KyFwError err;
    EXPECT_EQ(KyFwClient::setupTPPM("*busy-c*0*0", echo.port(), nullptr, &err), 0);
    EXPECT_EQ(err.m_code, KYFW_ERR_RELAY);
    EXPECT_EQ(err.m_message, "cannot open tunnel: all 2 tunnels (KYFW_MAX_TUNNELS) are in use");

    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    kytest::LogCapture log{7};
    const std::string url = "http://busy-c-host:" + std::to_string(server.port()) + "/";
    QuietForget(session, url);
    std::string outUrl;
    EXPECT_FALSE(session.getTPPMUrl("busy-c", url, outUrl, false));
    EXPECT_TRUE(log.contains("Couldn't setup TPPM port, err:[" + err.m_message + "]"));

    // One connection ends: its tunnel is idle and gives its place to the new destination.
    held[1].close();
    ASSERT_TRUE(Eventually([] { return kyfw::liveConnectionCount() == 1; }));
    const int c = OpenTunnel("*busy-c*0*0", echo.port());
    EXPECT_NE(c, 0);
    EXPECT_TRUE(UseOnce(c));
    EXPECT_TRUE(RoundTrip(held[0].fd(), "still relayed"));
}

// The answers that let a holder of a tunnel port tell whether it still leads where it did.
TEST_F(TunnelGiveBack, TunnelStateTellsGivenBackAndReusedPortsFromLiveOnes) {
    Limit(0, 1, 200);
    const int live = OpenTunnel("*state-a*0*0", echo.port());
    ASSERT_NE(live, 0);
    ASSERT_TRUE(UseOnce(live));
    const int closed = OpenTunnel("*state-closed*0*0", echo.port());  // gives live back: cap 1
    ASSERT_NE(closed, 0);
    ASSERT_TRUE(kyfw::closeTunnel(closed));
    const int current = OpenTunnel("*state-b*0*0", echo.port());
    ASSERT_NE(current, 0);
    Limit(0, 2, 200);
    const int reopened = OpenTunnel("*state-a*0*0", echo.port());
    ASSERT_NE(reopened, 0);
    EXPECT_NE(reopened, live);

    struct Row {
        int localPort;
        const char* name;
        int port;
        int expected;
    };
    const Row rows[] = {
        {current, "*state-b*0*0", echo.port(), KYFW_TUNNEL_LIVE},
        {current, "*STATE-B*0*0", echo.port(), KYFW_TUNNEL_LIVE},      // host names in any case
        {current, "state-b", echo.port(), KYFW_TUNNEL_LIVE},           // a name that does not demangle
        {current, "*state-a*0*0", echo.port(), KYFW_TUNNEL_GONE},      // another destination's
        {current, "*state-b*0*0", echo.port() + 1, KYFW_TUNNEL_GONE},  // another port's
        {live, "*state-a*0*0", echo.port(), KYFW_TUNNEL_GONE},         // given back
        {reopened, "*state-a*0*0", echo.port(), KYFW_TUNNEL_LIVE},     // its destination's new one
        {closed, "*state-closed*0*0", echo.port(), KYFW_TUNNEL_UNKNOWN},
        {1, "*state-a*0*0", echo.port(), KYFW_TUNNEL_UNKNOWN},
        {current, nullptr, echo.port(), KYFW_TUNNEL_GONE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.localPort << " " << (row.name ? row.name : "null"));
        EXPECT_EQ(KyFwTunnelState(row.localPort, row.name, row.port), row.expected);
    }
}

// Four ports that nothing listens on, for a range of the test's own.
int FreeRangeOfFour() {
    for (int first = 23000; first < 24000; first += 4) {
        std::vector<Socket> taken;
        for (int port = first; port < first + 4; ++port) {
            taken.push_back(kytest::ListenAt(port, 1));
            if (!taken.back().valid()) break;
        }
        if (taken.size() == 4 && taken.back().valid()) return first;
    }
    return 0;
}

TEST_F(TunnelGiveBack, PortsComeInTurnFromTheRangeAndStayUnusedForTheirQuarantine) {
    const int first = FreeRangeOfFour();
    ASSERT_NE(first, 0);
    kyfw::RelayLimits limits;
    limits.firstPort = first;
    limits.lastPort = first + 3;
    limits.portQuarantineMs = 600000;
    kyfw::setRelayLimits(limits);

    std::vector<int> ports;
    for (int i = 0; i < 4; ++i)
        ports.push_back(OpenTunnel(("*range-" + std::to_string(i) + "*0*0").c_str(), 80));
    std::vector<int> sorted = ports;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<int>{first, first + 1, first + 2, first + 3}));
    // In turn: each next port follows the one before, round the range.
    for (int i = 1; i < 4; ++i) EXPECT_EQ(ports[i], first + (ports[i - 1] - first + 1) % 4);

    KyFwError err;
    EXPECT_EQ(KyFwClient::setupTPPM("*range-4*0*0", 80, nullptr, &err), 0);
    EXPECT_EQ(err.m_message, "cannot open tunnel: no port of " + std::to_string(first) + "-" +
                                 std::to_string(first + 3) + " is free and out of quarantine");
    ASSERT_TRUE(kyfw::closeTunnel(ports[1]));
    EXPECT_EQ(OpenTunnel("*range-4*0*0", 80), 0) << "a port in quarantine was taken";

    limits.portQuarantineMs = 0;
    kyfw::setRelayLimits(limits);
    EXPECT_EQ(OpenTunnel("*range-4*0*0", 80), ports[1]);
}

TEST(TunnelLimitsFromEnvironment, EachNewVariableSetsItsLimitAndABadValueKeepsTheDefault) {
    const kyfw::RelayLimits defaults;
    struct Row {
        const char* variable;
        const char* value;
        long kyfw::RelayLimits::*limit;
        long expected;
        bool complaint;
    };
    const Row rows[] = {
        {"KYFW_TUNNEL_IDLE_MS", "1500", &kyfw::RelayLimits::tunnelIdleMs, 1500, false},
        {"KYFW_TUNNEL_IDLE_MS", "0", &kyfw::RelayLimits::tunnelIdleMs, 0, false},
        {"KYFW_TUNNEL_IDLE_MS", "5m", &kyfw::RelayLimits::tunnelIdleMs, defaults.tunnelIdleMs, true},
        {"KYFW_MAX_TUNNELS", "16", &kyfw::RelayLimits::maxTunnels, 16, false},
        {"KYFW_MAX_TUNNELS", "65536", &kyfw::RelayLimits::maxTunnels, defaults.maxTunnels, true},
        {"KYFW_PORT_QUARANTINE_MS", "0", &kyfw::RelayLimits::portQuarantineMs, 0, false},
        {"KYFW_PORT_QUARANTINE_MS", "-1", &kyfw::RelayLimits::portQuarantineMs, defaults.portQuarantineMs,
         true},
        {"KYFW_SPLICE", "0", &kyfw::RelayLimits::splice, 0, false},
        {"KYFW_SPLICE", "2", &kyfw::RelayLimits::splice, defaults.splice, true},
        {"KYFW_LATENCY_FIRST", "0", &kyfw::RelayLimits::latencyFirst, 0, false},
        {"KYFW_LATENCY_FIRST", "yes", &kyfw::RelayLimits::latencyFirst, defaults.latencyFirst, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.variable << "=" << row.value);
        setenv(row.variable, row.value, 1);
        kyfw::resetRelayLimits();
        testing::internal::CaptureStderr();
        const kyfw::RelayLimits limits = kyfw::relayLimits();
        const std::string complaint = testing::internal::GetCapturedStderr();
        unsetenv(row.variable);
        EXPECT_EQ(limits.*row.limit, row.expected);
        EXPECT_EQ(!complaint.empty(), row.complaint) << complaint;
    }
    kyfw::resetRelayLimits();
    EXPECT_EQ(kyfw::relayLimits().tunnelIdleMs, 300000);
    EXPECT_EQ(kyfw::relayLimits().maxTunnels, 512);
}

// The hazard given-back tunnels bring: the library's cache still names the port, and another listener
// has taken it. The request must reach its own server through a new tunnel, and nothing reach that
// listener.
TEST(GivenBackTunnelPort, TakenByAnotherListenerReceivesNoRequest) {
    kytest::FreshFirewall firewall;
    kytest::TestServer server;
    kyfw::setRoute("", kyfw::Route::Tunnel);
    kyfw::RelayLimits limits;
    limits.tunnelIdleMs = 100;
    kyfw::setRelayLimits(limits);
    kytest::LogCapture log{7};
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    // A connection the transfer kept open would keep the tunnel busy.
    session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_FORBID_REUSE, 1);
    session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT, 5);
    const std::string url = "http://given-back-host:" + std::to_string(server.port()) + "/echo?n=";
    QuietForget(session, url);

    ASSERT_TRUE(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, (url + "1").c_str(), nullptr, 0, true,
                                              "given-back-client", false));
    const int oldPort = TunnelPort(QuietCachedPrefix(session, url));
    ASSERT_NE(oldPort, 0);
    ASSERT_TRUE(Eventually([oldPort] { return !IsLive(oldPort); }));
    Socket impostor = kytest::ListenAt(oldPort, 16);
    ASSERT_TRUE(impostor.valid()) << "port " << oldPort << " was taken by someone else";

    log.clear();
    ASSERT_TRUE(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, (url + "2").c_str(), nullptr, 0, true,
                                              "given-back-client", false));

    EXPECT_EQ(session.m_httpRespCode, 200);
    ASSERT_EQ(server.requestCount(), 2u);
    EXPECT_EQ(server.lastRequest().target, "/echo?n=2");
    pollfd pending{impostor.fd(), POLLIN, 0};
    EXPECT_EQ(poll(&pending, 1, 0), 0) << "a connection reached the listener on the given-back port";
    const std::string key = "given-back-host:" + std::to_string(server.port());
    EXPECT_TRUE(log.contains("Key:[" + key + "] removed from cache"));
    EXPECT_NE(TunnelPort(QuietCachedPrefix(session, url)), oldPort);
    kyfw::setRelayLimits(kyfw::RelayLimits());
}

}  // namespace
}  // namespace kytest
