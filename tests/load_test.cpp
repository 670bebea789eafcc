// Load: two threads, each with a session of its own, send requests in rounds, directly and through a
// tunnel. What must hold: every request is accounted for (each succeeds with the body its URL asks for,
// and the server saw exactly as many), and the heap in use after the last round exceeds the heap after
// the first (warm-up) round by less than kHeapGrowthBound.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/process_kit.h"
#include "support/reply_body.h"
#include "support/test_server.h"

namespace kytest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 2;
constexpr int kRequestsPerThread = 5000;
constexpr int kRounds = 10;  // the first one warms up: connections, tunnels, caches
constexpr int kPerRound = kRequestsPerThread / kRounds;
// Well below one leaked byte a request for 10,000 requests a phase, and above the noise of the
// allocator's own bookkeeping.
constexpr size_t kHeapGrowthBound = 256 * 1024;
// A guard against a hang, not a measure: the phase stops at this point and fails its accounting.
constexpr auto kPhaseDeadline = std::chrono::minutes(10);

size_t ResidentBytes() {
    FILE* statm = fopen("/proc/self/statm", "r");
    if (!statm) return 0;
    unsigned long size = 0, resident = 0;
    const int read = fscanf(statm, "%lu %lu", &size, &resident);
    fclose(statm);
    return read == 2 ? resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// Lets the workers run one round at a time: between rounds the main thread counts and samples.
class Rounds {
  public:
    // Worker side: waits until round is opened; false when the phase was called off.
    bool WaitForRound(int round) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_open >= round || m_stopped; });
        return !m_stopped;
    }
    void FinishRound() {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_finished;
        m_changed.notify_all();
    }
    // Main side: opens round and waits until every worker finished it; false past the deadline.
    bool Run(int round, Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_open = round;
        m_changed.notify_all();
        return m_changed.wait_until(lock, deadline, [&] { return m_finished == (round + 1) * kThreads; });
    }
    void Stop() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
        m_changed.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_open = -1;
    int m_finished = 0;
    bool m_stopped = false;
};

struct WorkerTally {
    int succeeded = 0;
    int wrongBody = 0;
    int failed = 0;
};

// Sends one request for (worker, index) on the session; the URL names both, and /echo gives them back.
using SendFn = std::function<bool(KYLibCurl&, const std::string& target)>;

void Work(int worker, const SendFn& send, Rounds& rounds, WorkerTally& tally) {
    KYLibCurl session;
    const bool ready = session.KYLibCurlInit();
    for (int round = 0; round < kRounds && rounds.WaitForRound(round); ++round) {
        for (int i = 0; ready && i < kPerRound; ++i) {
            const std::string target =
                "/echo?w=" + std::to_string(worker) + "&i=" + std::to_string(round * kPerRound + i);
            if (!send(session, target)) {
                ++tally.failed;
                continue;
            }
            const std::string expected = "GET " + target + "\n";
            if (kytest::Body(session).compare(0, expected.size(), expected) == 0)
                ++tally.succeeded;
            else
                ++tally.wrongBody;
        }
        rounds.FinishRound();
    }
}

struct PhaseResult {
    bool finished = true;
    size_t received = 0;  // requests the server saw
    size_t heapAfterWarmUp = 0, heapAtEnd = 0;
    size_t residentAfterWarmUp = 0, residentAtEnd = 0;
    std::vector<WorkerTally> tallies = std::vector<WorkerTally>(kThreads);
};

// Runs the rounds; the server's record of requests is counted and emptied after each round, so that
// it does not grow with the load.
PhaseResult RunPhase(kytest::TestServer& server, const SendFn& send) {
    PhaseResult result;
    Rounds rounds;
    std::vector<std::thread> workers;
    for (int w = 0; w < kThreads; ++w)
        workers.emplace_back(Work, w, std::cref(send), std::ref(rounds), std::ref(result.tallies[w]));
    const auto deadline = Clock::now() + kPhaseDeadline;
    for (int round = 0; round < kRounds && result.finished; ++round) {
        result.finished = rounds.Run(round, deadline);
        result.received += server.requestCount();
        server.clearRequests();
        if (round == 0) {
            result.heapAfterWarmUp = HeapInUse();
            result.residentAfterWarmUp = ResidentBytes();
        }
    }
    result.heapAtEnd = HeapInUse();
    result.residentAtEnd = ResidentBytes();
    rounds.Stop();
    for (std::thread& worker : workers) worker.join();
    return result;
}

void ExpectAccountedAndBounded(const PhaseResult& result, const char* phase) {
    SCOPED_TRACE(phase);
    EXPECT_TRUE(result.finished) << "the phase did not finish before its deadline";
    int succeeded = 0;
    for (const WorkerTally& tally : result.tallies) {
        EXPECT_EQ(tally.succeeded, kRequestsPerThread);
        EXPECT_EQ(tally.failed, 0);
        EXPECT_EQ(tally.wrongBody, 0);
        succeeded += tally.succeeded;
    }
    EXPECT_EQ(result.received, static_cast<size_t>(succeeded));
    const long growth = static_cast<long>(result.heapAtEnd) - static_cast<long>(result.heapAfterWarmUp);
    EXPECT_LT(growth, static_cast<long>(kHeapGrowthBound))
        << "heap after warm-up " << result.heapAfterWarmUp << ", at the end " << result.heapAtEnd;
    const std::string prefix = phase;
    ::testing::Test::RecordProperty(prefix + "_requests", succeeded);
    ::testing::Test::RecordProperty(prefix + "_heap_growth_bytes", static_cast<int>(growth));
    ::testing::Test::RecordProperty(prefix + "_resident_growth_kib",
                                    static_cast<int>((static_cast<long>(result.residentAtEnd) -
                                                      static_cast<long>(result.residentAfterWarmUp)) /
                                                     1024));
}

class Load : public ::testing::Test {
  protected:
    kytest::LogCapture log{2};
    kytest::TestServer server;
    kytest::FreshFirewall firewall;  // last: reset before SetUp and right after TearDown
};

TEST_F(Load, DirectRequestsAreAllAccountedForAndTheHeapStaysBounded) {
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    const PhaseResult result = RunPhase(server, [&](KYLibCurl& session, const std::string& target) {
        return session.KYLibCurlSendHttpReq(HTTP_REQ_GET, base + target, nullptr, 0, true, nullptr);
    });
    ExpectAccountedAndBounded(result, "direct");
}

// Both threads share one tunnel prefix from the process-wide cache.
TEST_F(Load, RoutedRequestsAreAllAccountedForAndTheHeapStaysBounded) {
    const std::string base = "http://load-host:" + std::to_string(server.port());
    const PhaseResult result = RunPhase(server, [&](KYLibCurl& session, const std::string& target) {
        return session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, (base + target).c_str(), nullptr, 0, true,
                                             "load-client", true);
    });
    ExpectAccountedAndBounded(result, "routed");
    EXPECT_GE(kyfw::relayedConnectionCount(), 2u);
}

}  // namespace
}  // namespace kytest
