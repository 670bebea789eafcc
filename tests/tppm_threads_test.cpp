// Many sessions on many threads share the tunnel cache while another thread closes tunnels under them.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/eventually.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/test_server.h"
#include "support/tppm_test_helpers.h"

namespace kytest {
namespace {

constexpr int kThreads = 8;
constexpr int kRequestsPerThread = 200;
constexpr int kHosts = 4;
constexpr int kRequestsPerClosure = 20;
constexpr int kMaxCloserPolls = 200000;
constexpr auto kCloserPoll = std::chrono::microseconds(200);

const char kRefused[] = "curl-err:[Couldn't connect to server]";
const char kReceiveFailed[] = "curl-err:[Failure when receiving data from the peer]";
const char kSendFailed[] = "curl-err:[Failed sending data to the peer]";
const char kGotNothing[] = "curl-err:[Server returned nothing (no headers, no data)]";

struct Outcomes {
    int succeeded = 0;
    int connectFailed = 0;  // failed with 601
    int noStatus = 0;       // failed before any status, m_httpRespCode 0
    int other = 0;          // anything else: a fault
};

class TppmThreads : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int host = 0; host < kHosts; ++host) {
            kyfw::setRoute(Client(host), kyfw::Route::Tunnel, "127.0.0.1");
            std::string unused;
            probe.TppmUrlMapInfo(Url(host, ""), unused, KYLibCurl::TPPM_CACHE_REMOVE);
        }
    }
    static std::string Client(int host) { return "thread-host" + std::to_string(host); }
    std::string Url(int host, const std::string& query) const {
        return "http://" + Client(host) + ":" + std::to_string(server.port()) + "/echo" + query;
    }
    std::string Cached(int host) {
        std::string value;
        probe.TppmUrlMapInfo(Url(host, ""), value, KYLibCurl::TPPM_CACHE_GET);
        return value;
    }

    Outcomes RunWorker(int thread) {
        Outcomes outcomes;
        KYLibCurl session;
        if (!session.KYLibCurlInit()) return Outcomes{0, 0, 0, kRequestsPerThread};
        // Bounds every transfer, so a stuck relay shows as a time-out (602) rather than a hang.
        session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT, 20);
        for (int request = 0; request < kRequestsPerThread; ++request) {
            const int host = (thread + request) % kHosts;
            const std::string url =
                Url(host, "?t=" + std::to_string(thread) + "&r=" + std::to_string(request));
            if (session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true,
                                              Client(host).c_str(), true)) {
                (session.m_httpRespCode == 200 ? outcomes.succeeded : outcomes.other)++;
            } else if (session.m_httpRespCode == HTTP_RESP_CONNECT_FAILED) {
                outcomes.connectFailed++;
            } else if (session.m_httpRespCode == 0) {
                outcomes.noStatus++;
            } else {
                outcomes.other++;
            }
            completed++;
        }
        return outcomes;
    }

    // Closes the cached tunnel of a host picked by a fixed-seed generator after every kRequestsPerClosure
    // requests, so that the pace follows the workers whatever their speed.
    int RunCloser() {
        std::mt19937 pick(20240607);
        int closed = 0;
        int nextAt = kRequestsPerClosure;
        for (int poll = 0; poll < kMaxCloserPolls && !workersDone.load(); ++poll) {
            if (completed.load() < nextAt) {
                std::this_thread::sleep_for(kCloserPoll);
                continue;
            }
            nextAt += kRequestsPerClosure;
            const int port = TunnelPort(Cached(static_cast<int>(pick() % kHosts)));
            if (port != 0 && kyfw::closeTunnel(port)) ++closed;
        }
        return closed;
    }

    // Runs every worker with the closer beside it; gives the number of tunnels closed.
    int RunAll(std::array<Outcomes, kThreads>& outcomes) {
        int closed = 0;
        std::thread closer([&] { closed = RunCloser(); });
        std::vector<std::thread> workers;
        for (int thread = 0; thread < kThreads; ++thread)
            workers.emplace_back([&, thread] { outcomes[thread] = RunWorker(thread); });
        for (std::thread& worker : workers) worker.join();
        workersDone = true;
        closer.join();
        return closed;
    }

    kytest::TestServer server;
    KYLibCurl probe;
    std::atomic<int> completed{0};
    std::atomic<bool> workersDone{false};
    kytest::FreshFirewall firewall;  // last: reset before SetUp and right after TearDown
};

TEST_F(TppmThreads, RequestsSucceedOrFailAsConnectionFailuresWhileTunnelsClose) {
    kytest::LogCapture log(2);
    std::array<Outcomes, kThreads> outcomes;

    const int closed = RunAll(outcomes);

    Outcomes total;
    for (const Outcomes& each : outcomes) {
        total.succeeded += each.succeeded;
        total.connectFailed += each.connectFailed;
        total.noStatus += each.noStatus;
        total.other += each.other;
    }
    EXPECT_EQ(total.succeeded + total.connectFailed + total.noStatus + total.other,
              kThreads * kRequestsPerThread);
    EXPECT_EQ(total.other, 0);
    EXPECT_GT(total.succeeded, 0);
    EXPECT_GT(closed, 0);
    // Every failure is a broken connection: refused or cut (601), or cut before the request was written or
    // before any reply byte, which leaves no status to read.
    int refusedOrReceive = 0, cutEarly = 0, otherDetail = 0, failureLines = 0;
    for (const std::string& message : log.messages()) {
        failureLines += message == "failed to send http request";
        if (!StartsWith(message, "curl-err:[")) continue;
        if (StartsWith(message, kRefused) || StartsWith(message, kReceiveFailed))
            ++refusedOrReceive;
        else if (StartsWith(message, kSendFailed) || StartsWith(message, kGotNothing))
            ++cutEarly;
        else
            ADD_FAILURE() << "unexpected failure detail: " << message, ++otherDetail;
    }
    EXPECT_EQ(failureLines, total.connectFailed + total.noStatus);
    EXPECT_EQ(refusedOrReceive, total.connectFailed);
    EXPECT_EQ(cutEarly, total.noStatus);
    EXPECT_EQ(otherDetail, 0);
    std::printf("%d succeeded, %d failed with 601, %d failed without status, %d tunnels closed\n",
                total.succeeded, total.connectFailed, total.noStatus, closed);
}

// Once the closing stops, one request per host repairs its entry, and the cache then names the tunnel
// that served it. The sessions leave their connections kept for the sessions after them, each holding a
// relayed connection until the relay's idle time-out: a short one then ends every relayed connection.
TEST_F(TppmThreads, CacheEndsConsistentAndKeptConnectionsEndAtTheIdleTimeOut) {
    kytest::LogCapture quiet(-2);
    std::array<Outcomes, kThreads> outcomes;
    RunAll(outcomes);

    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    for (int host = 0; host < kHosts; ++host) {
        ASSERT_TRUE(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, Url(host, "").c_str(), nullptr, 0, true,
                                                  Client(host).c_str(), true))
            << host;
        const int port = TunnelPort(Cached(host));
        ASSERT_NE(port, 0) << host;
        EXPECT_EQ(server.lastRequest().header("Host"), "127.0.0.1:" + std::to_string(port)) << host;
    }
    session.KYLibCurlDeInit();

    kyfw::RelayLimits limits = kyfw::relayLimits();
    limits.idleTimeoutMs = 200;
    kyfw::setRelayLimits(limits);
    EXPECT_TRUE(kytest::Eventually([] { return kyfw::liveConnectionCount() == 0; }))
        << kyfw::liveConnectionCount();
    kyfw::resetRelayLimits();
}

}  // namespace
}  // namespace kytest
