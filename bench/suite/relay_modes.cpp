// Figure 6, continued: the relay's bulk flows spliced through pipes against the same flows copied through
// the relay's buffers, in the same run: the relay thread's CPU per GiB moved, one stream through a tunnel
// against direct, and 50 streams through one tunnel against direct. Then pings beside bulk streams with
// the relay's latency-first scheduling on and off, against the same pings and streams sent directly.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KyFwClient.h"
#include "KyFwControl.h"
#include "figures.h"
#include "rounds.h"
#include "stream_driver.h"

namespace kybench {
namespace {

constexpr size_t kOneStreamBytes = size_t{256} * 1024 * 1024;
constexpr size_t kManyStreams = 50;
constexpr size_t kManyStreamBytes = size_t{8} * 1024 * 1024;
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
constexpr size_t kBulkStreams = 4;
constexpr size_t kBulkBytes = size_t{64} * 1024 * 1024;
constexpr size_t kPingBatch = 200;
constexpr size_t kMostPings = 20000;

// CPU seconds the relay's thread has used so far, from its entry under /proc/self/task; NaN when there is
// no such thread.
double RelayThreadSeconds() {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return NAN;
    double seconds = NAN;
    while (dirent* task = readdir(tasks)) {
        const std::string dir = std::string("/proc/self/task/") + task->d_name;
        std::ifstream comm(dir + "/comm");
        std::string name;
        if (!std::getline(comm, name) || name != "kyfw-relay") continue;
        std::ifstream stat(dir + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // Past the command in parentheses: state is field 3, utime and stime fields 14 and 15.
        const size_t close = text.rfind(')');
        if (close == std::string::npos) break;
        unsigned long user = 0;
        unsigned long system = 0;
        if (sscanf(text.c_str() + close + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                   &system) == 2)
            seconds = static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
        break;
    }
    closedir(tasks);
    return seconds;
}

// Switches one of the relay's ways of working (splice, latencyFirst) for the connections that follow;
// on -1 (a direct contender) leaves the relay as it is.
void SetMode(long kyfw::RelayLimits::*mode, int on) {
    if (on < 0) return;
    kyfw::RelayLimits limits = kyfw::relayLimits();
    limits.*mode = on;
    kyfw::setRelayLimits(limits);
}

// One-byte pings to pingPort, in batches over fresh connections, for as long as kBulkStreams streams of
// bulkBytes each run to bulkPort and back; the pings' round trips go to pings, the streams' rate is the
// measure. latencyFirst -1: direct.
Measurement PingsBesideBulk(int bulkPort, int pingPort, size_t bulkBytes, int latencyFirst,
                            std::vector<int64_t>* pings, bool* ok) {
    return [=] {
        SetMode(&kyfw::RelayLimits::latencyFirst, latencyFirst);
        std::atomic<bool> done{false};
        int64_t elapsed = 0;
        std::thread bulk([&] {
            elapsed = RunStreams(bulkPort, kBulkStreams, bulkBytes);
            done = true;
        });
        while (!done && pings->size() < kMostPings) {
            std::vector<int64_t> batch = RunPings(pingPort, kPingBatch);
            if (batch.empty()) break;
            pings->insert(pings->end(), batch.begin(), batch.end());
        }
        bulk.join();
        return StreamRate(static_cast<double>(kBulkStreams * bulkBytes), elapsed, *ok);
    };
}

double Percentile(std::vector<int64_t> times, double share) {
    if (times.empty()) return NAN;
    std::sort(times.begin(), times.end());
    size_t index = std::min(times.size() - 1, static_cast<size_t>(share * static_cast<double>(times.size())));
    return static_cast<double>(times[index]);
}

void AddPingRow(const std::string& figure, const std::vector<int64_t>& routed,
                const std::vector<int64_t>& direct, double share, Target target, Report& report) {
    const double mine = Percentile(routed, share);
    const double theirs = Percentile(direct, share);
    report.Add({figure, Micros(mine), "direct " + Micros(theirs), mine / theirs, target});
}

// One contender: count streams of bytes each through port, sent and read back; bytes read back per
// second. Through a tunnel, the relay's CPU per GiB it moved (both ways) is added to cpuPerGiB. splice -1:
// direct.
Measurement Streams(int port, size_t count, size_t bytes, int splice, std::vector<double>* cpuPerGiB,
                    bool* ok) {
    return [=] {
        SetMode(&kyfw::RelayLimits::splice, splice);
        const double cpuBefore = RelayThreadSeconds();
        const int64_t elapsed = RunStreams(port, count, bytes);
        const double cpu = RelayThreadSeconds() - cpuBefore;
        const double moved = 2.0 * static_cast<double>(count * bytes);
        if (cpuPerGiB) cpuPerGiB->push_back(cpu / (moved / kGiB));
        return StreamRate(static_cast<double>(count * bytes), elapsed, *ok);
    };
}

std::string SecondsPerGiB(double seconds) { return Fixed(seconds, 3) + " s/GiB"; }

void AddStreamRows(const std::string& figure, const std::vector<std::vector<double>>& rates, double target,
                   Report& report) {
    report.Add({figure + ", spliced", BytesPerSecond(Median(rates[0])),
                "direct " + BytesPerSecond(Median(rates[2])), MedianRatio(rates[0], rates[2]),
                Target::AtLeast(target)});
    report.Add({"  reference: copied",
                BytesPerSecond(Median(rates[1])),
                "direct " + BytesPerSecond(Median(rates[2])),
                MedianRatio(rates[1], rates[2]),
                {}});
}

}  // namespace

void AddRelaySpliceRows(const SuiteOptions& options, int echoPort, Report& report) {
    KyFwError err;
    const int tunnel = KyFwClient::setupTPPM("*kybench-splice*0*0", echoPort, nullptr, &err);
    const kyfw::RelayLimits before = kyfw::relayLimits();
    if (tunnel == 0 || std::isnan(RelayThreadSeconds())) {
        report.Unavailable("spliced against copied", "no tunnel, or no relay thread to measure");
        return;
    }
    bool ok = true;
    std::vector<double> splicedCpu;
    std::vector<double> copiedCpu;
    const size_t oneBytes = options.quick ? kOneStreamBytes / 8 : kOneStreamBytes;
    auto one = RotateRounds(options.Rounds(3), {Streams(tunnel, 1, oneBytes, 1, &splicedCpu, &ok),
                                                Streams(tunnel, 1, oneBytes, 0, &copiedCpu, &ok),
                                                Streams(echoPort, 1, oneBytes, -1, nullptr, &ok)});
    auto many = RotateRounds(options.Rounds(3),
                             {Streams(tunnel, kManyStreams, kManyStreamBytes, 1, nullptr, &ok),
                              Streams(tunnel, kManyStreams, kManyStreamBytes, 0, nullptr, &ok),
                              Streams(echoPort, kManyStreams, kManyStreamBytes, -1, nullptr, &ok)});
    kyfw::setRelayLimits(before);
    if (!ok) {
        report.Unavailable("spliced against copied", "a stream failed");
        return;
    }
    report.Add({"relay thread CPU per GiB, spliced", SecondsPerGiB(Median(splicedCpu)),
                "copied " + SecondsPerGiB(Median(copiedCpu)), MedianRatio(splicedCpu, copiedCpu),
                Target::AtMost(0.7)});
    AddStreamRows("1 stream via a tunnel", one, 0.8, report);
    AddStreamRows("50 streams via one tunnel", many, 0.9, report);
}

void AddLatencyFirstRows(const SuiteOptions& options, int echoPort, Report& report) {
    KyFwError err;
    const int bulkTunnel = KyFwClient::setupTPPM("*kybench-lf-bulk*0*0", echoPort, nullptr, &err);
    const int pingTunnel = KyFwClient::setupTPPM("*kybench-lf-ping*0*0", echoPort, nullptr, &err);
    const kyfw::RelayLimits before = kyfw::relayLimits();
    if (bulkTunnel == 0 || pingTunnel == 0) {
        report.Unavailable("latency first", "no tunnel");
        return;
    }
    bool ok = true;
    std::vector<int64_t> first;
    std::vector<int64_t> inOrder;
    std::vector<int64_t> direct;
    const size_t bytes = options.quick ? kBulkBytes / 4 : kBulkBytes;
    auto rates =
        RotateRounds(options.Rounds(3), {PingsBesideBulk(bulkTunnel, pingTunnel, bytes, 1, &first, &ok),
                                         PingsBesideBulk(bulkTunnel, pingTunnel, bytes, 0, &inOrder, &ok),
                                         PingsBesideBulk(echoPort, echoPort, bytes, -1, &direct, &ok)});
    kyfw::setRelayLimits(before);
    if (!ok || first.empty() || inOrder.empty() || direct.empty()) {
        report.Unavailable("latency first", "a ping or a stream failed");
        return;
    }
    AddPingRow("ping beside 4 bulk, latency first: p50", first, direct, 0.50, Target::AtMost(25), report);
    AddPingRow("ping beside 4 bulk, latency first: p99", first, direct, 0.99, Target::AtMost(5), report);
    AddPingRow("  reference: in order: p50", inOrder, direct, 0.50, {}, report);
    AddPingRow("  reference: in order: p99", inOrder, direct, 0.99, {}, report);
    report.Add({"4 bulk beside pings, latency first", BytesPerSecond(Median(rates[0])),
                "in order " + BytesPerSecond(Median(rates[1])), MedianRatio(rates[0], rates[1]),
                Target::AtLeast(0.95)});
    report.Add({"  reference: direct", BytesPerSecond(Median(rates[2])), "", NAN, {}});
}

}  // namespace kybench
