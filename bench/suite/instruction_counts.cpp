// Figure 1, instructions: user-space instructions per small request, counted by callgrind (time is noisy
// on a shared machine; instruction counts are not). The driver re-runs itself under callgrind as a worker,
// which dumps the counts of every batch separately.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define KYBENCH_HAVE_CALLGRIND 1
#else
#define KYBENCH_HAVE_CALLGRIND 0
#endif

#include "figures.h"
#include "rounds.h"
#include "small_clients.h"

namespace kybench {
namespace {

constexpr int kBatch = 100;
constexpr int kWarmUp = 30;
constexpr int kRounds = 5;
constexpr char kSession[] = "session";
constexpr char kRaw[] = "raw";
constexpr char kKept[] = "kept GET";
constexpr char kShared[] = "shared";
constexpr char kAlone[] = "alone";

std::string ConfigName(bool post, bool noSignal) {
    return std::string(post ? "small POST" : "small GET") + (noSignal ? " +NOSIGNAL" : "");
}

#if KYBENCH_HAVE_CALLGRIND
void CountBatch(SmallClient& client, const std::string& label) {
    CALLGRIND_ZERO_STATS;
    SendBatch(client, kBatch);
    CALLGRIND_DUMP_STATS_AT(label.c_str());
}
#endif

// Instructions per request by config and side, in dump order, from the callgrind output files in dir.
std::map<std::string, std::map<std::string, std::vector<double>>> ReadDumps(const std::string& dir) {
    std::map<std::string, std::map<std::string, std::vector<double>>> counts;
    for (int part = 1;; ++part) {
        std::ifstream file(dir + "/cg.out." + std::to_string(part));
        if (!file) break;
        std::string line;
        std::string label;
        double total = -1;
        while (std::getline(file, line)) {
            if (line.rfind("desc: Trigger: Client Request: ", 0) == 0) label = line.substr(31);
            if (line.rfind("totals: ", 0) == 0 || line.rfind("summary: ", 0) == 0)
                total = atof(line.c_str() + line.find(' ') + 1);
        }
        size_t bar = label.find('|');
        if (bar == std::string::npos || total < 0) continue;
        counts[label.substr(0, bar)][label.substr(bar + 1)].push_back(total / kBatch);
    }
    return counts;
}

bool RunUnderCallgrind(const SuiteOptions& options, int port, const std::string& dir) {
    pid_t child = fork();
    if (child == 0) {
        std::string out = "--callgrind-out-file=" + dir + "/cg.out";
        std::string portText = std::to_string(port);
        freopen((dir + "/valgrind.log").c_str(), "w", stderr);
        freopen("/dev/null", "w", stdout);
        execlp("valgrind", "valgrind", "--tool=callgrind", out.c_str(), "--dump-line=no", "--dump-instr=no",
               options.selfBinary.c_str(), "--callgrind-worker", portText.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A kept session's own cost with the process's shared connections, against the same session with
// sharing turned off.
void AddSharingRow(const std::map<std::string, std::vector<double>>& sides, const std::string& dir,
                   Report& report) {
    const char* figure = "kept session GET: instructions/request, sharing on";
    auto shared = sides.find(kShared);
    auto alone = sides.find(kAlone);
    if (shared == sides.end() || alone == sides.end()) {
        report.Unavailable(figure, "no counts in " + dir);
        return;
    }
    report.Add({figure, Count(Median(shared->second), "Ir"),
                "sharing off " + Count(Median(alone->second), "Ir"),
                MedianRatio(shared->second, alone->second), Target::AtMost(1.03)});
}

#if KYBENCH_HAVE_CALLGRIND
int CountSharingOnAndOff(const std::string& url) {
    const SmallRequest request{false, false, url, ""};
    KYLibCurlGlobal::ShareConnections(false);
    SessionSmallClient alone(request);
    KYLibCurlGlobal::ShareConnections(true);
    SessionSmallClient shared(request);
    if (!alone.ready() || !shared.ready() || !SendBatch(alone, kWarmUp) || !SendBatch(shared, kWarmUp))
        return 1;
    for (int round = 0; round < kRounds; ++round) {
        if (round % 2 == 0) CountBatch(alone, std::string(kKept) + "|" + kAlone);
        CountBatch(shared, std::string(kKept) + "|" + kShared);
        if (round % 2 == 1) CountBatch(alone, std::string(kKept) + "|" + kAlone);
    }
    return 0;
}
#endif

}  // namespace

void RunInstructionCounts(const SuiteOptions& options, const ServerProcess& server, Report& report) {
    report.Section("1. Small requests: user-space instructions per request (callgrind)");
    const char* figure = "small requests: instructions/request";
    if (!KYBENCH_HAVE_CALLGRIND || system("valgrind --version > /dev/null 2>&1") != 0) {
        report.Unavailable(figure, "valgrind is not installed");
        return;
    }
    char dirTemplate[] = "/tmp/kybench-callgrind-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        report.Unavailable(figure, "no temporary directory");
        return;
    }
    const std::string dir = dirTemplate;
    fprintf(stderr, "kybench: instruction counts under callgrind (about a minute)\n");
    if (!RunUnderCallgrind(options, server.port(), dir)) {
        report.Unavailable(figure, "callgrind run failed, see " + dir + "/valgrind.log");
        return;
    }
    auto counts = ReadDumps(dir);
    for (bool noSignal : {false, true}) {
        for (bool post : {false, true}) {
            const std::string name = ConfigName(post, noSignal);
            const auto& sides = counts[name];
            auto session = sides.find(kSession);
            auto raw = sides.find(kRaw);
            if (session == sides.end() || raw == sides.end()) {
                report.Unavailable(name + ": instructions/request", "no counts in " + dir);
                continue;
            }
            report.Add({name + ": instructions/request", Count(Median(session->second), "Ir"),
                        "raw libcurl " + Count(Median(raw->second), "Ir"),
                        MedianRatio(session->second, raw->second),
                        noSignal ? Target() : Target::AtMost(1.20)});
        }
    }
    AddSharingRow(counts[kKept], dir, report);
    system(("rm -rf " + dir).c_str());
}

int CallgrindWorker(int port) {
#if KYBENCH_HAVE_CALLGRIND
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/small";
    for (bool noSignal : {false, true}) {
        for (bool post : {false, true}) {
            SmallRequest request{post, noSignal, url, ""};
            SessionSmallClient session(request);
            RawSmallClient raw(request);
            if (!session.ready() || !SendBatch(session, kWarmUp) || !SendBatch(raw, kWarmUp)) return 1;
            const std::string name = ConfigName(post, noSignal);
            for (int round = 0; round < kRounds; ++round) {
                if (round % 2 == 0) CountBatch(raw, name + "|" + kRaw);
                CountBatch(session, name + "|" + kSession);
                if (round % 2 == 1) CountBatch(raw, name + "|" + kRaw);
            }
        }
    }
    return CountSharingOnAndOff(url);
#else
    (void)port;
    return 1;
#endif
}

}  // namespace kybench
