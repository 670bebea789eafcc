// A long run in one process, bounded by count: direct and routed requests over four destinations from four
// threads, with dynamic probes and tunnel closures between them. Afterwards the process's descriptors,
// threads and heap must be back near their level after a warm-up of the same mix: a tunnel, relayed
// connection, thread or buffer left behind per request, probe or closure would show by the thousand.
// Then many destinations, each asked once, under a descriptor limit their tunnels would exceed twice
// over: tunnels given back keep the process serving.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/eventually.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/process_kit.h"
#include "support/relay_kit.h"
#include "support/test_server.h"

namespace kytest {
namespace {

constexpr int kDestinations = 4;
constexpr int kThreads = 4;
#if KYTEST_SANITIZED
// The same mix at a tenth of the count: the sanitizers run it some ten times slower.
constexpr int kRequests = 10000;
#else
constexpr int kRequests = 100000;
#endif
constexpr int kWarmUpRequests = kRequests / 50;
// After every tenth request a probe, and after every tenth (halfway between) a tunnel closure.
constexpr int kProbeEvery = 10;
constexpr int kCloseEvery = 10;
// The server's record of requests is cleared this often, so that it stays small and of one size.
constexpr int kClearEvery = 50;
// Settled levels may differ by the four tunnels' listeners, and the heap by what allocators keep in
// their per-thread caches and the bookkeeping of four destinations.
constexpr size_t kDescriptorSlack = kDestinations;
constexpr size_t kHeapSlack = size_t{512} * 1024;

struct Levels {
    size_t descriptors;
    size_t threads;
    size_t heap;
};

struct Tally {
    std::atomic<int> direct{0};
    std::atomic<int> routed{0};
    std::atomic<int> dynamic{0};
    // Routed through a tunnel closed meanwhile: refused (601), or reset under a request on a kept-alive
    // connection (601 when receiving, no status when sending). Without the dynamic flag there is no
    // reconnect, and with it the new tunnel may be closed by another thread before the second attempt.
    std::atomic<int> cut{0};
    std::atomic<int> other{0};
    std::atomic<int> probesAnswered{0};
    std::atomic<int> probesUnanswered{0};
    std::atomic<int> closures{0};
    std::atomic<int> closed{0};  // fewer than closures: another thread may have closed the tunnel first
};

class RelaySoak : public testing::Test {
  protected:
    void SetUp() override {
        for (int d = 0; d < kDestinations; ++d) {
            servers[d] = std::make_unique<kytest::TestServer>();
            kyfw::setRoute(Host(d), kyfw::Route::Tunnel);
        }
    }

    static std::string Host(int d) { return "soak" + std::to_string(d); }
    static std::string Client(int d) { return "*" + Host(d) + "*0*0"; }
    std::string Url(int d, int i) const {
        return servers[d]->url("/bytes/" + std::to_string(1 + (i % 8) * 512));
    }

    // One thread's share: requests of every kind to every destination in turn, a probe or a closure
    // between some of them.
    void Work(int thread, int requests) {
        KYLibCurl session;
        if (!session.KYLibCurlInit()) {
            counted->other += requests;
            return;
        }
        session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT, 20);
        for (int i = 0; i < requests; ++i) {
            const int d = (i + thread) % kDestinations;
            Request(session, i % 4, d, Url(d, i));
            if (i % kProbeEvery == 0) Probe(session, d);
            if (i % kCloseEvery == kCloseEvery / 2) Close((d + 1) % kDestinations);
            if (i % kClearEvery == 0) {
                for (auto& server : servers) server->clearRequests();
            }
        }
    }

    void Request(KYLibCurl& session, int kind, int d, const std::string& url) {
        const std::string client = Client(d);
        const bool ok =
            kind == 0 ? session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url.c_str(), nullptr, 0, true, nullptr)
                      : session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true,
                                                      client.c_str(), kind == 2);
        if (ok && session.m_httpRespCode == 200) {
            (kind == 0 ? counted->direct : kind == 2 ? counted->dynamic : counted->routed)++;
        } else if (kind != 0 && !ok &&
                   (session.m_httpRespCode == HTTP_RESP_CONNECT_FAILED || session.m_httpRespCode == 0)) {
            counted->cut++;
        } else {
            counted->other++;
        }
    }

    void Probe(KYLibCurl& session, int d) {
        bool dynamic = true;
        const bool answered = session.KYLibCurlDynamiceTppmCheck(servers[d]->url("/"), Client(d), dynamic);
        (answered ? counted->probesAnswered : counted->probesUnanswered)++;
    }

    // The live tunnel of the destination, whichever thread opened it, is closed.
    void Close(int d) {
        const int port = OpenTunnel(Client(d).c_str(), servers[d]->port());
        counted->closures++;
        if (port != 0 && kyfw::closeTunnel(port)) counted->closed++;
    }

    void Run(int requests) {
        std::vector<std::thread> threads;
        threads.reserve(kThreads);
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([this, t, requests] { Work(t, requests / kThreads); });
        for (std::thread& thread : threads) thread.join();
        for (auto& server : servers) server->clearRequests();
    }

    // Once the sessions are gone, what they shared is still kept for the sessions to come: connections,
    // each through a tunnel holding a relayed connection until the relay's idle time-out, and the DNS
    // cache of tunnel ports. Turning sharing off ends all of it; then the connections close and the
    // relay's and the servers' threads for them wind down. Sharing is on again for the next run.
    Levels Settle(size_t threadsAtMost) {
        KYLibCurlGlobal::ShareConnections(false);
        kytest::Eventually([] { return kyfw::liveConnectionCount() == 0; });
        kytest::Eventually([threadsAtMost] { return Threads() <= threadsAtMost; });
        const Levels levels{kytest::OpenDescriptors(), Threads(), HeapInUse()};
        KYLibCurlGlobal::ShareConnections(true);
        return levels;
    }

    // Nothing is logged: a line costs a file open and write, and the run makes hundreds of thousands.
    kytest::LogCapture quiet{-2};
    std::array<std::unique_ptr<kytest::TestServer>, kDestinations> servers;
    Tally warmUp;
    Tally tally;
    Tally* counted = &warmUp;
    kytest::FreshFirewall firewall;
};

TEST_F(RelaySoak, ResourcesReturnToTheirWarmUpLevel) {
    const size_t threadsBefore = Threads();
    Run(kWarmUpRequests);
    const Levels warm = Settle(threadsBefore);
    counted = &tally;

    Run(kRequests);
    const Levels after = Settle(warm.threads);

    const int requests = tally.direct + tally.routed + tally.dynamic + tally.cut + tally.other;
    EXPECT_EQ(requests, kRequests);
    EXPECT_EQ(tally.other, 0);
    EXPECT_EQ(tally.direct, kRequests / 4);
    EXPECT_GT(tally.routed, 0);
    EXPECT_GT(tally.dynamic, 0);
    EXPECT_EQ(tally.probesAnswered + tally.probesUnanswered, kRequests / kProbeEvery);
    EXPECT_GT(tally.probesAnswered, 0);
    EXPECT_EQ(tally.closures, kRequests / kCloseEvery);
    EXPECT_GT(tally.closed, tally.closures / 2);
    EXPECT_LE(kyfw::liveTunnelCount(), static_cast<size_t>(kDestinations));
    EXPECT_EQ(kyfw::liveConnectionCount(), 0u);
    EXPECT_LE(after.descriptors, warm.descriptors + kDescriptorSlack);
    EXPECT_LE(after.threads, warm.threads);
    EXPECT_LE(after.heap, warm.heap + kHeapSlack);
    RecordProperty("descriptors",
                   std::to_string(warm.descriptors) + " -> " + std::to_string(after.descriptors));
    RecordProperty("threads", std::to_string(warm.threads) + " -> " + std::to_string(after.threads));
    RecordProperty("heap", std::to_string(warm.heap) + " -> " + std::to_string(after.heap));
    printf(
        "soak: %d requests (%d direct, %d routed, %d dynamic, %d cut by closures), %d probes (%d answered), "
        "%d "
        "closures (%d closed); descriptors %zu -> %zu, threads %zu -> %zu, heap %zu -> %zu bytes\n",
        requests, tally.direct.load(), tally.routed.load(), tally.dynamic.load(), tally.cut.load(),
        tally.probesAnswered + tally.probesUnanswered, tally.probesAnswered.load(), tally.closures.load(),
        tally.closed.load(), warm.descriptors, after.descriptors, warm.threads, after.threads, warm.heap,
        after.heap);
}

constexpr int kManyDestinations = 2000;
constexpr rlim_t kDescriptorLimit = 1024;
constexpr long kFewTunnels = 16;
constexpr long kShortTunnelIdleMs = 200;
// The connections the session keeps alive for reuse. Each one kept through a tunnel keeps the tunnel busy,
// so that it cannot be given back: the session keeps fewer than the tunnels allowed.
constexpr int kKeptConnections = 5;
// Beyond the warm-up level and a listener per live tunnel: the kept connections, each holding three
// descriptors when routed (its own and the relay's two).
constexpr size_t kKeptConnectionDescriptors = kKeptConnections * 3;

enum ManyResult {
    kAllServed = 0,
    kNoLimit = 2,
    kNoSession = 3,
    kDestinationUnserved = 4,
    kFreshDirectUnserved = 5,
    kFreshRoutedUnserved = 6,
    kTooManyTunnels = 7,
    kTooManyDescriptors = 8,
};

// In a child of its own, which the descriptor limit and the relay's bounds concern alone.
int AskManyDestinationsOnce(const kytest::TestServer& server) {
    const rlimit low{kDescriptorLimit, kDescriptorLimit};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) return kNoLimit;
    kyfw::RelayLimits limits;
    limits.tunnelIdleMs = kShortTunnelIdleMs;
    limits.maxTunnels = kFewTunnels;
    kyfw::setRelayLimits(limits);
    KYLibCurl session;
    if (!session.KYLibCurlInit()) return kNoSession;
    session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT, 20);
    session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_MAXCONNECTS, kKeptConnections);
    const std::string direct = server.url("/bytes/16");
    auto routed = [&](const std::string& client) {
        const std::string url = "http://" + client + ":" + std::to_string(server.port()) + "/bytes/16";
        return session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true, client.c_str(),
                                             false) &&
               session.m_httpRespCode == 200;
    };
    auto directly = [&] {
        return session.KYLibCurlSendHttpReq(HTTP_REQ_GET, direct.c_str(), nullptr, 0, true, nullptr) &&
               session.m_httpRespCode == 200;
    };
    if (!directly() || !routed("warm-up")) return kDestinationUnserved;
    const size_t warm = kytest::OpenDescriptors();

    for (int i = 0; i < kManyDestinations; ++i) {
        if (!routed("many-" + std::to_string(i))) {
            fprintf(stderr, "destination %d unserved, status %ld\n", i, session.m_httpRespCode);
            return kDestinationUnserved;
        }
        if (kyfw::liveTunnelCount() > static_cast<size_t>(kFewTunnels)) return kTooManyTunnels;
    }
    if (!directly()) return kFreshDirectUnserved;
    if (!routed("fresh")) return kFreshRoutedUnserved;

    const size_t tunnels = kyfw::liveTunnelCount();
    const size_t after = kytest::OpenDescriptors();
    fprintf(stderr, "many destinations: %zu tunnels live, descriptors %zu -> %zu\n", tunnels, warm, after);
    if (tunnels > static_cast<size_t>(kFewTunnels)) return kTooManyTunnels;
    if (after > warm + kFewTunnels + kKeptConnectionDescriptors) return kTooManyDescriptors;
    return kAllServed;
}

TEST(RelaySoakManyDestinations, EachAskedOnceUnderALowDescriptorLimit) {
    // The test server's threads run in the parent: the child's relay thread would wait for ever on an
    // allocator lock one of them held at fork(), and its requests would time out.
    if (!kytest::kForkSafeAllocator)
        GTEST_SKIP() << "the sanitizer's allocator can be inherited locked across fork()";
    kytest::LogCapture quiet{-2};
    kytest::FreshFirewall firewall;
    kytest::TestServer server;
    kyfw::setRoute("", kyfw::Route::Tunnel);
    EXPECT_EQ(kytest::RunInChild([&server] { return AskManyDestinationsOnce(server); }), kAllServed);
}

}  // namespace
}  // namespace kytest
