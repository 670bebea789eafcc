// Figure 6, continued: the relay's bulk flows spliced through pipes against the same flows copied through
// the relay's buffers, in the same run: the relay thread's CPU per GiB moved, one stream through a tunnel
// against direct, and 50 streams through one tunnel against direct.
#include <dirent.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
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

void SetSplice(bool on) {
    kyfw::RelayLimits limits = kyfw::relayLimits();
    limits.splice = on ? 1 : 0;
    kyfw::setRelayLimits(limits);
}

// One contender: count streams of bytes each through port, sent and read back; bytes read back per
// second. Through a tunnel, the relay's CPU per GiB it moved (both ways) is added to cpuPerGiB.
struct Streams {
    int port;
    size_t count;
    size_t bytes;
    int splice;  // -1: direct
    std::vector<double>* cpuPerGiB;
    bool* ok;

    double operator()() const {
        if (splice >= 0) SetSplice(splice == 1);
        const double cpuBefore = RelayThreadSeconds();
        const int64_t elapsed = RunStreams(port, count, bytes);
        const double cpu = RelayThreadSeconds() - cpuBefore;
        *ok = *ok && elapsed > 0;
        const double moved = 2.0 * static_cast<double>(count * bytes);
        if (cpuPerGiB) cpuPerGiB->push_back(cpu / (moved / kGiB));
        return static_cast<double>(count * bytes) * 1e9 / static_cast<double>(std::max<int64_t>(elapsed, 1));
    }
};

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
    auto one = RotateRounds(options.Rounds(3), {Streams{tunnel, 1, oneBytes, 1, &splicedCpu, &ok},
                                                Streams{tunnel, 1, oneBytes, 0, &copiedCpu, &ok},
                                                Streams{echoPort, 1, oneBytes, -1, nullptr, &ok}});
    auto many = RotateRounds(options.Rounds(3),
                             {Streams{tunnel, kManyStreams, kManyStreamBytes, 1, nullptr, &ok},
                              Streams{tunnel, kManyStreams, kManyStreamBytes, 0, nullptr, &ok},
                              Streams{echoPort, kManyStreams, kManyStreamBytes, -1, nullptr, &ok}});
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

}  // namespace kybench
