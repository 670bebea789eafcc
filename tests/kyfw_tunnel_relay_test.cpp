#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KyFwClient.h"
#include "KyFwControl.h"
#include "support/echo_server.h"
#include "support/eventually.h"
#include "support/fresh_firewall.h"
#include "support/refused_port.h"
#include "support/relay_kit.h"
#include "support/socket_kit.h"

namespace kytest {
namespace {

int openTunnel(const char* name, int port) {
    KyFwError err;
    int localPort = KyFwClient::setupTPPM(name, port, nullptr, &err);
    EXPECT_NE(localPort, 0) << err.m_message;
    return localPort;
}

uint64_t fnv1a(uint64_t hash, const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
    return hash;
}
constexpr uint64_t kFnvSeed = 14695981039346656037ull;

class KyFwTunnelRelay : public testing::Test {
  protected:
    kytest::FreshFirewall firewall;
};

TEST_F(KyFwTunnelRelay, RelaysBytesBothWaysAndPassesHalfCloseOn) {
    EchoServer echo;
    int port = openTunnel("*unlisted*0*0", echo.port());  // no entry: relayed to 127.0.0.1
    Socket client = ConnectTo(port);
    ASSERT_GE(client.fd(), 0);
    for (const std::string& message :
         {std::string("hello"), std::string(1, '\0'), std::string(100000, 'x')}) {
        ASSERT_TRUE(SendAll(client.fd(), message.data(), message.size()));
        EXPECT_EQ(ReceiveExactly(client.fd(), message.size()), message);
    }
    // The server answers the last bytes only after it saw our end, and then ends its side.
    ASSERT_EQ(shutdown(client.fd(), SHUT_WR), 0);
    EXPECT_EQ(echo.ending(1), "eof");
    EXPECT_EQ(EndOfStream(client.fd()), 0);
}

// The relay stops reading a socket that gave fewer bytes than asked; an end that arrives with the last
// bytes must not be lost that way. Many short exchanges, each sending its bytes and its end at once.
TEST_F(KyFwTunnelRelay, AnEndRightBehindTheLastBytesIsPassedOn) {
    EchoServer echo;
    int port = openTunnel("*unlisted*0*0", echo.port());
    constexpr size_t kExchanges = 40;
    for (size_t i = 1; i <= kExchanges; ++i) {
        Socket client = ConnectTo(port);
        ASSERT_GE(client.fd(), 0);
        const std::string message(i * 97, static_cast<char>('a' + i % 26));
        ASSERT_TRUE(SendAll(client.fd(), message.data(), message.size()));
        ASSERT_EQ(shutdown(client.fd(), SHUT_WR), 0);
        EXPECT_EQ(ReceiveExactly(client.fd(), message.size()), message);
        ASSERT_EQ(echo.ending(i), "eof") << "exchange " << i;
        EXPECT_EQ(EndOfStream(client.fd()), 0) << "exchange " << i;
    }
}

// Through a tunnel and back, whether the relay splices its bytes or copies them, and whether it serves
// quick flows first or every flow in turn.
void TransferSixteenMebibytes(const char* host);

TEST_F(KyFwTunnelRelay, TransfersSixteenMebibytesIntact) {
    struct Mode {
        long splice;
        long latencyFirst;
        const char* host;
    };
    for (const Mode& mode :
         {Mode{1, 1, "bulk-spliced"}, Mode{0, 1, "bulk-copied"}, Mode{1, 0, "bulk-in-order"}}) {
        SCOPED_TRACE(mode.host);
        kyfw::RelayLimits limits;
        limits.splice = mode.splice;
        limits.latencyFirst = mode.latencyFirst;
        kyfw::setRelayLimits(limits);
        TransferSixteenMebibytes(mode.host);
    }
    kyfw::setRelayLimits(kyfw::RelayLimits());
}

void TransferSixteenMebibytes(const char* host) {
    EchoServer echo;
    kyfw::setRoute(host, kyfw::Route::Tunnel);
    int port = openTunnel(host, echo.port());
    Socket client = ConnectTo(port);
    ASSERT_GE(client.fd(), 0);

    constexpr size_t kTotal = 16u << 20;
    uint64_t sentHash = kFnvSeed;
    bool sentAll = false;
    std::thread writer([&] {
        std::vector<char> chunk(size_t{256} * 1024);
        uint64_t state = 0x9e3779b97f4a7c15ull;
        size_t sent = 0;
        while (sent < kTotal) {
            for (char& byte : chunk) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                byte = static_cast<char>(state);
            }
            if (!SendAll(client.fd(), chunk.data(), chunk.size())) break;
            sentHash = fnv1a(sentHash, chunk.data(), chunk.size());
            sent += chunk.size();
        }
        sentAll = sent == kTotal;
        shutdown(client.fd(), SHUT_WR);
    });
    uint64_t receivedHash = kFnvSeed;
    size_t received = 0;
    std::vector<char> buffer(size_t{64} * 1024);
    for (;;) {
        ssize_t n = recv(client.fd(), buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        receivedHash = fnv1a(receivedHash, buffer.data(), static_cast<size_t>(n));
        received += static_cast<size_t>(n);
    }
    writer.join();
    EXPECT_TRUE(sentAll);
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(receivedHash, sentHash);
    EXPECT_EQ(echo.ending(1), "eof");
}

// Bulk connections wait while quick ones are served, and the quick ones that become ready during a bulk
// share are served before the next: no readiness may be lost on the way, in either scheduling.
TEST_F(KyFwTunnelRelay, PingsAndBulkStreamsInterleaveIntact) {
    EchoServer echo;
    for (long latencyFirst : {1L, 0L}) {
        SCOPED_TRACE(latencyFirst ? "latency first" : "in order");
        kyfw::RelayLimits limits;
        limits.latencyFirst = latencyFirst;
        kyfw::setRelayLimits(limits);
        const int bulkTunnel =
            openTunnel(latencyFirst ? "*mixed-bulk*0*0" : "*ordered-bulk*0*0", echo.port());
        const int pingTunnel =
            openTunnel(latencyFirst ? "*mixed-ping*0*0" : "*ordered-ping*0*0", echo.port());
        constexpr int kStreams = 4;
        constexpr size_t kChunk = size_t{256} * 1024;
        constexpr int kChunks = 16;
        std::atomic<int> intact{0};
        std::vector<std::thread> streams;
        for (int i = 0; i < kStreams; ++i) {
            streams.emplace_back([&, i] {
                Socket client = ConnectTo(bulkTunnel);
                const std::string chunk(kChunk, static_cast<char>('a' + i));
                int echoed = 0;
                std::thread writer([&] {
                    for (int c = 0; c < kChunks && SendAll(client.fd(), chunk); ++c) {
                    }
                });
                while (echoed < kChunks && ReceiveExactly(client.fd(), kChunk) == chunk) ++echoed;
                writer.join();
                if (echoed == kChunks) ++intact;
            });
        }
        Socket pinger = ConnectTo(pingTunnel);
        int pings = 0;
        while (pings < 500 && RoundTrip(pinger.fd(), std::string(1, static_cast<char>('0' + pings % 10))))
            ++pings;
        for (std::thread& stream : streams) stream.join();
        EXPECT_EQ(pings, 500);
        EXPECT_EQ(intact, kStreams);
    }
    kyfw::setRelayLimits(kyfw::RelayLimits());
}

TEST_F(KyFwTunnelRelay, TargetResetReachesTheClientAsReset) {
    EchoServer resetter(EchoServer::Mode::ResetAfterFirstByte);
    int port = openTunnel("*resetting*0*0", resetter.port());
    Socket client = ConnectTo(port);
    ASSERT_GE(client.fd(), 0);
    ASSERT_TRUE(SendAll(client.fd(), "x", 1));
    EXPECT_EQ(resetter.ending(1), "reset sent");
    EXPECT_EQ(EndOfStream(client.fd()), ECONNRESET);
}

TEST_F(KyFwTunnelRelay, ClientResetReachesTheTargetAsReset) {
    EchoServer echo;
    int port = openTunnel("*resetting*0*0", echo.port());
    Socket client = ConnectTo(port);
    ASSERT_GE(client.fd(), 0);
    ASSERT_TRUE(SendAll(client.fd(), "ping", 4));
    ASSERT_EQ(ReceiveExactly(client.fd(), 4), "ping");
    client.reset();
    EXPECT_EQ(echo.ending(1), "reset");
    EXPECT_TRUE(Eventually([] { return kyfw::liveConnectionCount() == 0; }));
}

TEST_F(KyFwTunnelRelay, RefusingTargetResetsTheClientInsteadOfEndingIt) {
    kytest::RefusedPort refusing;
    int port = openTunnel("*refusing*0*0", refusing.port());
    Socket client = ConnectTo(port);
    ASSERT_GE(client.fd(), 0);
    EXPECT_EQ(EndOfStream(client.fd()), ECONNRESET);
    EXPECT_TRUE(Eventually([] { return kyfw::liveConnectionCount() == 0; }));
}

TEST_F(KyFwTunnelRelay, ClosedTunnelRefusesConnectionsAndCutsRelayedOnes) {
    EchoServer echo;
    int port = openTunnel("*closing*0*0", echo.port());
    int other = openTunnel("*closing-too*0*0", echo.port());
    EXPECT_NE(port, other);
    EXPECT_EQ(kyfw::liveTunnelCount(), 2u);
    Socket client = ConnectTo(port);
    ASSERT_GE(client.fd(), 0);
    ASSERT_TRUE(SendAll(client.fd(), "ping", 4));
    ASSERT_EQ(ReceiveExactly(client.fd(), 4), "ping");

    EXPECT_TRUE(kyfw::closeTunnel(port));
    EXPECT_FALSE(kyfw::closeTunnel(port));
    EXPECT_EQ(kyfw::liveTunnelCount(), 1u);
    EXPECT_EQ(kyfw::liveConnectionCount(), 0u);
    EXPECT_EQ(EndOfStream(client.fd()), ECONNRESET);
    Socket refused = ConnectTo(port);
    int refusal = errno;
    EXPECT_LT(refused.fd(), 0);
    EXPECT_EQ(refusal, ECONNREFUSED);

    Socket stillServed = ConnectTo(other);
    ASSERT_GE(stillServed.fd(), 0);
    ASSERT_TRUE(SendAll(stillServed.fd(), "pong", 4));
    EXPECT_EQ(ReceiveExactly(stillServed.fd(), 4), "pong");
    kyfw::closeAllTunnels();
    EXPECT_EQ(kyfw::liveTunnelCount(), 0u);
    EXPECT_LT(ConnectTo(other).fd(), 0);
}

TEST_F(KyFwTunnelRelay, CountsAcceptedAndLiveConnections) {
    EchoServer echo;
    int port = openTunnel("*counted*0*0", echo.port());
    size_t before = kyfw::relayedConnectionCount();
    std::vector<Socket> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(ConnectTo(port));
        ASSERT_TRUE(SendAll(clients.back().fd(), "abc", 3));
        ASSERT_EQ(ReceiveExactly(clients.back().fd(), 3), "abc");
    }
    EXPECT_EQ(kyfw::relayedConnectionCount(), before + 3);
    EXPECT_EQ(kyfw::liveConnectionCount(), 3u);
    for (size_t i = 0; i < clients.size(); ++i) {
        shutdown(clients[i].fd(), SHUT_WR);
        EXPECT_EQ(EndOfStream(clients[i].fd()), 0);
        clients[i].close();
    }
    EXPECT_TRUE(Eventually([] { return kyfw::liveConnectionCount() == 0; }));
    EXPECT_EQ(kyfw::relayedConnectionCount(), before + 3);
}

TEST_F(KyFwTunnelRelay, ManyThreadsOpenUseAndCloseTunnelsAtOnce) {
    EchoServer echo;
    kyfw::setRoute("busy", kyfw::Route::Tunnel);
    constexpr int kThreads = 4;
    constexpr int kRounds = 15;
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> workers;
    workers.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            // A host of each thread's own: a thread closes its tunnel while the others use theirs.
            std::string name = MangleHostName("", ("busy" + std::to_string(t)).c_str(), t, 0);
            for (int round = 0; round < kRounds; ++round) {
                KyFwError err;
                if (!KyFwClient::isFirewalled("busy", "", &err)) ++failures;
                int port = KyFwClient::setupTPPM(name.c_str(), echo.port(), nullptr, &err);
                Socket client = ConnectTo(port);
                if (client.fd() < 0 || !SendAll(client.fd(), "ping", 4) ||
                    ReceiveExactly(client.fd(), 4) != "ping")
                    ++failures;
                if (!kyfw::closeTunnel(port)) ++failures;
            }
        });
    }
    std::thread observer([&] {
        while (!done) {
            kyfw::liveTunnelCount();
            kyfw::liveConnectionCount();
            kyfw::closeTunnel(1);  // never a tunnel port: privileged
            kyfw::setRoute("bystander", kyfw::Route::Direct);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (auto& worker : workers) worker.join();
    done = true;
    observer.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(kyfw::liveTunnelCount(), 0u);
    EXPECT_TRUE(Eventually([] { return kyfw::liveConnectionCount() == 0; }));
}

}  // namespace
}  // namespace kytest
