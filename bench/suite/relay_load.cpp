// Figure 6: the firewall stand-in's relay under load and over a long run. Pings through one tunnel while
// bulk streams fill another, against the same pings and streams sent directly; tunnel set-ups and state
// queries beside bulk streams, against the relay idle; many bulk transfers through
// one tunnel against direct; and what a long-running process keeps: descriptors after many probes,
// tunnels after many threads resolved the same destinations at once, resident memory after a burst of
// connections has closed.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "KyFwClient.h"
#include "KyFwControl.h"
#include "echo_process.h"
#include "figures.h"
#include "kylibcurl.h"
#include "peak_memory.h"
#include "rounds.h"
#include "stream_driver.h"

namespace kybench {
namespace {

constexpr size_t kBulkStreams = 4;
constexpr size_t kConcurrentTransfers = 50;
constexpr size_t kTransferBytes = 8 * 1024 * 1024;
constexpr int kProbes = 10000;
constexpr int kResolvingThreads = 16;
constexpr int kNewDestinations = 50;
constexpr size_t kBurstConnections = 2000;
constexpr size_t kBurstBytes = 256 * 1024;

int OpenTunnel(const char* name, int port) {
    KyFwError err;
    return KyFwClient::setupTPPM(name, port, nullptr, &err);
}

size_t OpenDescriptors() {
    DIR* fds = opendir("/proc/self/fd");
    if (!fds) return 0;
    size_t count = 0;
    while (readdir(fds)) ++count;
    closedir(fds);
    return count - 3;
}

bool WaitForNoRelayedConnections() {
    for (int i = 0; i < 2000 && kyfw::liveConnectionCount() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return kyfw::liveConnectionCount() == 0;
}

// The times measure takes while kBulkStreams streams send and receive through bulkPort.
template <typename Measure>
std::vector<int64_t> UnderBulk(int bulkPort, Measure measure) {
    std::atomic<bool> stop{false};
    std::thread bulk([&] { RunStreams(bulkPort, kBulkStreams, 0, &stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<int64_t> times = measure();
    stop = true;
    bulk.join();
    return times;
}

// One-byte round trips to pingPort while the streams run through bulkPort.
std::vector<int64_t> PingUnderBulk(int bulkPort, int pingPort, size_t pings) {
    return UnderBulk(bulkPort, [&] { return RunPings(pingPort, pings); });
}

// Runs first and second in turn for the rounds and gathers their times into firstTimes and secondTimes;
// false as soon as either gives fewer than count (a call or a stream failed).
template <typename First, typename Second>
bool GatherRounds(int rounds, size_t count, First first, Second second, std::vector<int64_t>& firstTimes,
                  std::vector<int64_t>& secondTimes) {
    for (int round = 0; round < rounds; ++round) {
        std::vector<int64_t> a = first();
        std::vector<int64_t> b = second();
        if (a.size() != count || b.size() != count) return false;
        firstTimes.insert(firstTimes.end(), a.begin(), a.end());
        secondTimes.insert(secondTimes.end(), b.begin(), b.end());
    }
    return true;
}

double PercentileMs(std::vector<int64_t> times, double share) {
    if (times.empty()) return NAN;
    std::sort(times.begin(), times.end());
    size_t index = std::min(times.size() - 1, static_cast<size_t>(share * static_cast<double>(times.size())));
    return static_cast<double>(times[index]) / 1e6;
}

std::string Ms(double ms) { return Fixed(ms, 2) + " ms"; }

void AddPingRows(const SuiteOptions& options, int echoPort, Report& report) {
    const int bulkTunnel = OpenTunnel("*kybench-bulk*0*0", echoPort);
    const int pingTunnel = OpenTunnel("*kybench-ping*0*0", echoPort);
    const size_t pings = options.quick ? 500 : 3000;
    std::vector<int64_t> routed;
    std::vector<int64_t> direct;
    const bool measured = GatherRounds(
        options.Rounds(3), pings, [&] { return PingUnderBulk(bulkTunnel, pingTunnel, pings); },
        [&] { return PingUnderBulk(echoPort, echoPort, pings); }, routed, direct);
    if (!measured) {
        report.Unavailable("ping under bulk streams", "a ping or a stream failed");
        return;
    }
    const std::string figure = "ping via tunnel B, 4 bulk via A: ";
    report.Add({figure + "p50",
                Ms(PercentileMs(routed, 0.50)),
                "direct " + Ms(PercentileMs(direct, 0.50)),
                NAN,
                {}});
    // The ratio column holds the routed p99 in milliseconds, which the target bounds.
    report.Add({figure + "p99", Ms(PercentileMs(routed, 0.99)), "direct " + Ms(PercentileMs(direct, 0.99)),
                PercentileMs(routed, 0.99), Target::AtMost(5)});
    report.Add(
        {figure + "max", Ms(PercentileMs(routed, 1.0)), "direct " + Ms(PercentileMs(direct, 1.0)), NAN, {}});
}

// Set-ups of a live tunnel (each a hand-out of its port, as a routed request's is) and state queries
// made from a thread of the caller's, one every 200 microseconds, while kBulkStreams streams fill another
// tunnel; against the same with the relay idle. They must not wait for the relay thread's turns.
std::vector<int64_t> TimeTunnelCalls(int echoPort, int tunnel, size_t calls) {
    std::vector<int64_t> times;
    times.reserve(calls);
    for (size_t i = 0; i < calls; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const bool fine = i % 2 == 0
                              ? OpenTunnel("*kybench-ping*0*0", echoPort) == tunnel
                              : KyFwTunnelState(tunnel, "*kybench-ping*0*0", echoPort) == KYFW_TUNNEL_LIVE;
        const auto took = std::chrono::steady_clock::now() - start;
        if (!fine) return {};
        times.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return times;
}

void AddTunnelCallRows(const SuiteOptions& options, int echoPort, Report& report) {
    const int bulkTunnel = OpenTunnel("*kybench-bulk*0*0", echoPort);
    const int tunnel = OpenTunnel("*kybench-ping*0*0", echoPort);
    const size_t calls = options.quick ? 500 : 3000;
    std::vector<int64_t> busy;
    std::vector<int64_t> idle;
    const bool measured = GatherRounds(
        options.Rounds(3), calls,
        [&] { return UnderBulk(bulkTunnel, [&] { return TimeTunnelCalls(echoPort, tunnel, calls); }); },
        [&] { return TimeTunnelCalls(echoPort, tunnel, calls); }, busy, idle);
    if (!measured) {
        report.Unavailable("tunnel set-up and state beside bulk streams", "a call or a stream failed");
        return;
    }
    const std::string figure = "tunnel set-up/state, 4 bulk via A: ";
    auto us = [](double ms) { return Fixed(ms * 1000, 1) + " us"; };
    report.Add({figure + "p50",
                us(PercentileMs(busy, 0.50)),
                "relay idle " + us(PercentileMs(idle, 0.50)),
                PercentileMs(busy, 0.50) / PercentileMs(idle, 0.50),
                {}});
    report.Add({figure + "p99", us(PercentileMs(busy, 0.99)), "relay idle " + us(PercentileMs(idle, 0.99)),
                PercentileMs(busy, 0.99) / PercentileMs(idle, 0.99), Target::AtMost(10)});
}

void AddConcurrentBulkRow(const SuiteOptions& options, int echoPort, Report& report) {
    const int tunnel = OpenTunnel("*kybench-bulk*0*0", echoPort);
    bool ok = true;
    auto rate = [&ok](int port) -> Measurement {
        return [&ok, port] {
            return StreamRate(2.0 * kConcurrentTransfers * kTransferBytes,
                              RunStreams(port, kConcurrentTransfers, kTransferBytes), ok);
        };
    };
    auto rates = RotateRounds(options.Rounds(3), {rate(tunnel), rate(echoPort)});
    const std::string figure = "50 bulk transfers via one tunnel";
    if (!ok) {
        report.Unavailable(figure, "a transfer failed");
        return;
    }
    report.Add({figure, BytesPerSecond(Median(rates[0])), "direct " + BytesPerSecond(Median(rates[1])),
                MedianRatio(rates[0], rates[1]), Target::AtLeast(0.7)});
}

void AddProbeDescriptorsRow(const SuiteOptions& options, const ServerProcess& server, Report& report) {
    KYLibCurl session;
    const std::string url = server.Url("/small");
    bool dynamic = true;
    // Bounded, so that a relay out of descriptors shows as failed probes instead of a hang.
    if (!session.KYLibCurlInit() || !session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT, 10) ||
        !session.KYLibCurlDynamiceTppmCheck(url, "kybench-probe", dynamic)) {
        report.Unavailable("descriptors after probes", "the first probe failed");
        return;
    }
    const int probes = options.quick ? kProbes / 5 : kProbes;
    const size_t before = OpenDescriptors();
    int answered = 0;
    for (int i = 0; i < probes; ++i) {
        dynamic = true;
        answered += session.KYLibCurlDynamiceTppmCheck(url, "kybench-probe", dynamic);
    }
    const size_t after = OpenDescriptors();
    report.Add({"descriptors after " + std::to_string(probes) + " probes",
                std::to_string(after) + " (+" + std::to_string(after - before) + ")",
                std::to_string(answered) + " answered",
                NAN,
                {}});
}

void AddResolvedTunnelsRow(Report& report) {
    const size_t before = kyfw::liveTunnelCount();
    // Every thread reaches destination d before any resolves it, so that they all miss the cache at once.
    std::atomic<int> arrived{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kResolvingThreads; ++t) {
        threads.emplace_back([&arrived] {
            KYLibCurl session;
            session.KYLibCurlInit();
            for (int d = 0; d < kNewDestinations; ++d) {
                ++arrived;
                while (arrived < kResolvingThreads * (d + 1)) std::this_thread::yield();
                const std::string client = "kybench-dest" + std::to_string(d);
                std::string url;
                session.getTPPMUrl(client, "http://" + client + ":80/", url, true);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    report.Add({"tunnels for 16 threads x 50 new destinations",
                std::to_string(kyfw::liveTunnelCount() - before) + " tunnels",
                "50 destinations",
                NAN,
                {}});
}

void AddBurstResidentRow(int echoPort, Report& report) {
    const int tunnel = OpenTunnel("*kybench-burst*0*0", echoPort);
    const double before = ResidentBytes();
    const bool ok = RunStreams(tunnel, kBurstConnections, kBurstBytes) > 0 && WaitForNoRelayedConnections();
    const std::string figure = "resident growth, 2,000 x 256 KiB closed";
    if (!ok) {
        report.Unavailable(figure, "a connection failed");
        return;
    }
    report.Add({figure, Fixed((ResidentBytes() - before) / 1048576, 1) + " MiB", "", NAN, {}});
}

}  // namespace

void RunRelayLoad(const SuiteOptions& options, const ServerProcess& server, Report& report) {
    report.Section("6. The stand-in relay under load and over a long run");
    EchoProcess echo;
    const int echoPort = echo.Start();
    if (echoPort == 0) {
        report.Unavailable("relay figures", "the echo server did not start");
        return;
    }
    AddPingRows(options, echoPort, report);
    AddTunnelCallRows(options, echoPort, report);
    AddConcurrentBulkRow(options, echoPort, report);
    AddRelaySpliceRows(options, echoPort, report);
    AddLatencyFirstRows(options, echoPort, report);
    AddBurstResidentRow(echoPort, report);
    AddProbeDescriptorsRow(options, server, report);
    AddResolvedTunnelsRow(report);
    kyfw::closeAllTunnels();
}

}  // namespace kybench
