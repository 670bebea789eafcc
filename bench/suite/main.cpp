// kybench: the benchmark suite. Starts the bench server, measures every figure side by side with its
// baseline, and prints one table. It measures only: whatever the numbers, it exits with 0 unless it
// could not run at all.
//
//   kybench [--quick] [--only server|small|instructions|large|routed|cache|encoders|relay|percall]
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "figures.h"
#include "kylibcurl.h"

namespace {

std::string CpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

void PrintMachine() {
    utsname system{};
    uname(&system);
    printf("kybench: %u cores (%s), kernel %s, libcurl %s\n", std::thread::hardware_concurrency(),
           CpuModel().c_str(), system.release, curl_version_info(CURLVERSION_NOW)->version);
    printf("Ratio = library / baseline, the median of per-round ratios (alternating rounds).\n\n");
}

bool ParseOptions(int argc, char** argv, kybench::SuiteOptions& options) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0) {
            options.quick = true;
        } else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            options.only = argv[++i];
        } else {
            fprintf(stderr,
                    "usage: kybench [--quick] [--only "
                    "server|small|instructions|large|routed|cache|encoders|relay|percall]\n");
            return false;
        }
    }
    return true;
}

// The library's log lines (the tunnel cache logs its adds and removes) go to a file of the run's own.
std::string LogToTemporaryFile() {
    char dir[] = "/tmp/kybench-XXXXXX";
    if (!mkdtemp(dir)) return "";
    std::string path = std::string(dir) + "/evdebug.log";
    setenv("EVDEBUG_FILE", path.c_str(), 1);
    return dir;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--callgrind-worker") == 0)
        return kybench::CallgrindWorker(atoi(argv[2]));
    if (argc == 5 && strcmp(argv[1], "--peak-worker") == 0)
        return kybench::PeakWorker(argv[2], argv[3], strtoull(argv[4], nullptr, 10));
    if (argc == 6 && strcmp(argv[1], "--rate-worker") == 0)
        return kybench::RateWorker(argv[2], argv[3], strtoull(argv[4], nullptr, 10),
                                   strcmp(argv[5], "relay") == 0);

    kybench::SuiteOptions options;
    if (!ParseOptions(argc, argv, options)) return 2;
    const std::string here = kybench::ExecutableDirectory();
    options.serverBinary = here + "/kybench_server";
    options.selfBinary = here + "/kybench";
    const std::string logDir = LogToTemporaryFile();
    if (!KYLibCurlGlobal::Init()) {
        fprintf(stderr, "kybench: libcurl cannot be initialised\n");
        return 1;
    }

    kybench::ServerProcess server;
    std::string problem;
    if (!server.Start(options.serverBinary, problem)) {
        fprintf(stderr, "kybench: %s\n", problem.c_str());
        return 1;
    }
    kybench::Report report;
    if (options.Runs("server")) kybench::RunServerCapacity(options, server, report);
    if (options.Runs("small")) kybench::RunSmallRequests(options, server, report);
    if (options.Runs("instructions")) kybench::RunInstructionCounts(options, server, report);
    if (options.Runs("large")) kybench::RunLargeBodies(options, server, report);
    if (options.Runs("routed")) kybench::RunRoutedRequests(options, server, report);
    if (options.Runs("cache")) kybench::RunTunnelCache(options, report);
    if (options.Runs("encoders")) kybench::RunEncoders(options, report);
    if (options.Runs("relay")) kybench::RunRelayLoad(options, server, report);
    if (options.Runs("percall")) kybench::RunSessionsPerCall(options, server, report);
    server.Stop();

    PrintMachine();
    report.Print();
    if (!logDir.empty()) system(("rm -rf " + logDir).c_str());
    return 0;
}
