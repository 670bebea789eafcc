// Allocation torture: every allocation of a session's life is made to fail in turn, one per run, each run
// in a forked child. A run must neither abort, crash nor hang, must leave nothing allocated behind, and
// the same session's life run once more without failures must give every result it gives normally.
//
//   alloc_torture [--scenario NAME]... [--stride K | --sample N] [--first N] [--last N] [--jobs J]
//                 [--timeout SECONDS] [--verbose] [--leak-sites] [--tls]
//
// --leak-sites keeps where every block was allocated and shows the live ones of a run that leaked.
// --tls adds an HTTPS request with a CA file to the direct and the routed scenario: some ten thousand
// runs more, most of them failing OpenSSL's allocations, where libcurl and OpenSSL themselves are not
// always sound (a transfer that never ends, a double free when the connection closes).
// Exit status 0 when every run was sound, 1 when one was not, 2 when the runs could not be made.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "EvDebug.h"
#include "kylibcurl.h"
#include "support/refused_port.h"
#include "support/test_server.h"
#include "torture/failing_allocator.h"
#include "torture/torture_scenarios.h"

namespace {

using kytest::Scenario;
using kytest::Setting;

// How a child run ends besides 0 (sound) and a signal.
enum ChildExit { kThrew = 10, kNextRunWrong = 11, kLeaked = 12, kReferenceWrong = 13, kLeakedInTls = 14 };

// OpenSSL leaks a few blocks on some of its own allocation failures (decoding a certificate's fields,
// reading a PEM file): blocks no caller of it can reach. Such runs are counted apart and do not make a
// run unsound; an abort, crash or hang there still does.
bool InTlsLibrary(const char* file) { return std::strstr(file, "libcrypto") || std::strstr(file, "libssl"); }

struct Options {
    std::vector<std::string> scenarios;
    long stride = 1;
    long sample = 0;
    long first = 1;
    long last = 0;
    int jobs = 2;
    unsigned timeout = 20;
    bool verbose = false;
    bool leakSites = false;
    bool tls = false;
};

struct Tally {
    long runs = 0;
    long aborted = 0;
    long crashed = 0;
    long hung = 0;
    long leaked = 0;
    long threw = 0;
    long nextWrong = 0;
    long leakedInTls = 0;
    long bad() const { return aborted + crashed + hung + leaked + threw + nextWrong; }
};

void Say(const char* text) {
    const ssize_t ignored = write(2, text, std::strlen(text));
    (void)ignored;
}

// A child that dies by a signal first tells where the failed allocation was and at which step.
void OnFatalSignal(int signo) {
    Say("signal during step: ");
    Say(kytest::CurrentStep());
    Say("\nfailed allocation:\n");
    kytest::WriteInjectionSite(2);
    signal(signo, SIG_DFL);
    raise(signo);
}

void CatchFatalSignals() {
    for (int signo : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGALRM}) signal(signo, OnFatalSignal);
}

// Runs the scenario with allocation failAt failing (0: none); kThrew when an exception left a call.
int RunOnce(const Scenario& scenario, const Setting& setting, long failAt, long& counted, int& wrong) {
    scenario.prepare(setting);
    kytest::ForgetDifferences();
    kytest::MarkScenarioCaller();
    kytest::StartCounting(failAt);
    try {
        wrong = scenario.run(setting);
    } catch (const std::exception& e) {
        kytest::StopCounting();
        std::fprintf(stderr, "exception %s escaped from step: %s\nfailed allocation:\n", e.what(),
                     kytest::CurrentStep());
        kytest::WriteInjectionSite(2);
        return kThrew;
    }
    counted = kytest::StopCounting();
    return 0;
}

// A run that left more allocated than a sound one may only have built, once, what a sound run never
// needs. The same allocation, found by its call stack, is failed once more: a leak leaves more again.
bool LeftAgain(const Scenario& scenario, const Setting& setting, long liveBefore) {
    scenario.prepare(setting);
    kytest::MarkScenarioCaller();
    if (!kytest::StartFailingSameSite()) {
        std::fprintf(stderr,
                     "blocks left allocated beyond what a sound run leaves, with no allocation failed\n");
        return true;
    }
    try {
        scenario.run(setting);
    } catch (const std::exception&) {
        std::fprintf(stderr, "an exception left the library when failing the allocation again\n");
        return true;
    }
    kytest::StopCounting();
    const bool failedAgain = kytest::Injected();
    long unused = 0;
    int wrongAfter = 0;
    if (RunOnce(scenario, setting, 0, unused, wrongAfter) == kThrew) return true;
    kytest::Settle(setting);
    const long more = kytest::LiveBlocks() - liveBefore;
    if (failedAgain && more <= 0) return false;
    std::fprintf(stderr,
                 "%ld blocks left allocated beyond what a sound run leaves; %s\nfailed allocation (asked for "
                 "by %s):\n",
                 more, failedAgain ? "failing it again left more" : "the allocation did not come again",
                 kytest::FailedAllocationCaller());
    kytest::WriteInjectionSite(2);
    kytest::WriteLiveBlockSites(2);
    return true;
}

// The body of one child: the failing run, then the same scenario without failures, then the settling.
// Gives the child's exit status; reference runs (failAt 0) write their figures to out.
int ChildRun(const Scenario& scenario, const Setting& setting, long failAt, long referenceLeft, int out,
             bool leakSites = false) {
    CatchFatalSignals();
    if (leakSites) kytest::KeepBlockSites();
    const long liveAtStart = kytest::LiveBlocks();
    long counted = 0;
    int wrong = 0;
    if (RunOnce(scenario, setting, failAt, counted, wrong) == kThrew) return kThrew;
    if (failAt == 0 && wrong != 0) {
        std::fprintf(stderr, "%d results differ without any failure, the first at step: %s\n", wrong,
                     kytest::FirstDifference());
        return kReferenceWrong;
    }
    long unused = 0;
    int wrongAfter = 0;
    if (RunOnce(scenario, setting, 0, unused, wrongAfter) == kThrew) return kThrew;
    kytest::Settle(setting);
    const long left = kytest::LiveBlocks() - liveAtStart;
    if (failAt == 0) {
        if (leakSites) {
            std::fprintf(stderr, "%s: the blocks a sound run leaves:\n", scenario.name);
            kytest::WriteLiveBlockSites(2);
        }
        const long figures[2] = {counted, left};
        return write(out, figures, sizeof figures) == sizeof figures ? 0 : kReferenceWrong;
    }
    if (wrongAfter != 0) {
        std::fprintf(stderr, "the run after the failure: %d results differ, the first at step: %s\n",
                     wrongAfter, kytest::FirstDifference());
        kytest::WriteInjectionSite(2);
        return kNextRunWrong;
    }
    if (left <= referenceLeft || !LeftAgain(scenario, setting, liveAtStart + left)) return 0;
    return InTlsLibrary(kytest::FailedAllocationCaller()) ? kLeakedInTls : kLeaked;
}

struct Reference {
    long allocations = 0;
    long left = 0;
};

bool MeasureReference(const Scenario& scenario, const Setting& setting, const Options& options,
                      Reference& ref) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        close(fds[0]);
        alarm(options.timeout);
        _exit(ChildRun(scenario, setting, 0, 0, fds[1], options.leakSites));
    }
    close(fds[1]);
    long figures[2] = {0, 0};
    const bool read = ::read(fds[0], figures, sizeof figures) == sizeof figures;
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ref.allocations = figures[0];
    ref.left = figures[1];
    return read && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Running {
    long failAt;
    FILE* output;
    std::chrono::steady_clock::time_point deadline;
};

std::string ReadAll(FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    return text;
}

// Counts a run that was not sound and prints it; what the child wrote goes with the first few of each kind.
void Report(const char* scenario, long failAt, const char* what, FILE* output, bool verbose, long& counter) {
    ++counter;
    std::printf("%s run %ld: %s\n", scenario, failAt, what);
    if (verbose || counter <= 3) std::printf("%s", ReadAll(output).substr(0, 6000).c_str());
}

void Classify(const char* scenario, const Running& run, int status, bool killed, const Options& options,
              Tally& tally) {
    if (killed || (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)) {
        Report(scenario, run.failAt, "hung", run.output, options.verbose, tally.hung);
    } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) {
        Report(scenario, run.failAt, "aborted", run.output, options.verbose, tally.aborted);
    } else if (WIFSIGNALED(status)) {
        Report(scenario, run.failAt, strsignal(WTERMSIG(status)), run.output, options.verbose, tally.crashed);
    } else if (WEXITSTATUS(status) == kThrew) {
        Report(scenario, run.failAt, "an exception left the library", run.output, options.verbose,
               tally.threw);
    } else if (WEXITSTATUS(status) == kLeakedInTls) {
        Report(scenario, run.failAt, "leaked inside the TLS library (not counted)", run.output,
               options.verbose, tally.leakedInTls);
    } else if (WEXITSTATUS(status) == kLeaked) {
        Report(scenario, run.failAt, "leaked", run.output, options.verbose, tally.leaked);
    } else if (WEXITSTATUS(status) != 0) {
        Report(scenario, run.failAt, "the next run went wrong", run.output, options.verbose, tally.nextWrong);
    }
}

// Starts the run that fails allocation failAt; false when no child could be made.
bool Launch(const Scenario& scenario, const Setting& setting, long failAt, const Reference& ref,
            const Options& options, std::map<pid_t, Running>& running) {
    FILE* output = std::tmpfile();
    if (!output) return false;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        std::fclose(output);
        return false;
    }
    if (child == 0) {
        dup2(fileno(output), 2);
        alarm(options.timeout);
        _exit(ChildRun(scenario, setting, failAt, ref.left, -1, options.leakSites));
    }
    running[child] = {failAt, output,
                      std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout + 5)};
    return true;
}

// Waits for one child of running to end, killing those past their deadline.
void Reap(const char* scenario, const Options& options, std::map<pid_t, Running>& running, Tally& tally) {
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended > 0 && running.count(ended)) {
            Running run = running[ended];
            running.erase(ended);
            Classify(scenario, run, status, false, options, tally);
            std::fclose(run.output);
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        for (auto it = running.begin(); it != running.end(); ++it) {
            if (now < it->second.deadline) continue;
            kill(it->first, SIGKILL);
            waitpid(it->first, &status, 0);
            Classify(scenario, it->second, status, true, options, tally);
            std::fclose(it->second.output);
            running.erase(it);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool Torture(const Scenario& scenario, const Setting& setting, const Options& options, Tally& tally) {
    Reference ref;
    if (!MeasureReference(scenario, setting, options, ref)) {
        std::printf("%s: the scenario does not run soundly without failures\n", scenario.name);
        return false;
    }
    const long last = options.last > 0 && options.last < ref.allocations ? options.last : ref.allocations;
    long stride = options.stride;
    if (options.sample > 0) stride = std::max(1L, (last - options.first + 1) / options.sample);
    std::map<pid_t, Running> running;
    for (long failAt = options.first; failAt <= last; failAt += stride) {
        while (static_cast<int>(running.size()) >= options.jobs) Reap(scenario.name, options, running, tally);
        if (!Launch(scenario, setting, failAt, ref, options, running)) return false;
        ++tally.runs;
    }
    while (!running.empty()) Reap(scenario.name, options, running, tally);
    std::printf(
        "%s: %ld allocations, %ld runs (every %ld.): %ld aborted, %ld crashed, %ld hung, %ld leaked, "
        "%ld threw, %ld broke the next run; %ld leaked inside the TLS library\n",
        scenario.name, ref.allocations, tally.runs, stride, tally.aborted, tally.crashed, tally.hung,
        tally.leaked, tally.threw, tally.nextWrong, tally.leakedInTls);
    std::fflush(stdout);
    return true;
}

bool Parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--leak-sites") {
            options.leakSites = true;
        } else if (arg == "--tls") {
            options.tls = true;
        } else if (arg == "--scenario" && hasValue) {
            options.scenarios.push_back(argv[++i]);
        } else if (arg == "--stride" && hasValue) {
            options.stride = std::max(1L, std::atol(argv[++i]));
        } else if (arg == "--sample" && hasValue) {
            options.sample = std::atol(argv[++i]);
        } else if (arg == "--first" && hasValue) {
            options.first = std::max(1L, std::atol(argv[++i]));
        } else if (arg == "--last" && hasValue) {
            options.last = std::atol(argv[++i]);
        } else if (arg == "--jobs" && hasValue) {
            options.jobs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--timeout" && hasValue) {
            options.timeout = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--scenario direct|routed|failing]... [--stride K | --sample N] "
                "[--first N] [--last N] [--jobs J] [--timeout SECONDS] [--verbose] [--leak-sites] [--tls]\n",
                argv[0]);
            return false;
        }
    }
    return true;
}

bool Chosen(const Options& options, const char* name) {
    if (options.scenarios.empty()) return true;
    for (const std::string& chosen : options.scenarios)
        if (chosen == name) return true;
    return false;
}

// Where the server process listens.
struct Servers {
    int httpPort = 0;
    int httpsPort = 0;
    std::string caFile;
};

// The test servers run in a process of their own, so that the torture process has no thread of its own
// to fork beside. False when they could not be started; closing stop ends them.
bool StartServerProcess(Servers& servers, int& stop) {
    int portPipe[2];
    int stopPipe[2];
    if (pipe(portPipe) != 0 || pipe(stopPipe) != 0) return false;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        close(portPipe[0]);
        close(stopPipe[1]);
        kytest::TestServer http;
        kytest::TestServer https(kytest::TestServer::Scheme::Https);
        const std::string said =
            std::to_string(http.port()) + " " + std::to_string(https.port()) + " " + https.caFile() + "\n";
        if (write(portPipe[1], said.data(), said.size()) != static_cast<ssize_t>(said.size())) _exit(1);
        close(portPipe[1]);
        char byte;
        while (read(stopPipe[0], &byte, 1) > 0) {
        }
        _exit(0);
    }
    close(portPipe[1]);
    close(stopPipe[0]);
    std::string said;
    char buffer[512];
    ssize_t n = 0;
    while ((n = read(portPipe[0], buffer, sizeof buffer)) > 0) said.append(buffer, static_cast<size_t>(n));
    close(portPipe[0]);
    stop = stopPipe[1];
    char caFile[400] = "";
    if (std::sscanf(said.c_str(), "%d %d %399s", &servers.httpPort, &servers.httpsPort, caFile) != 3)
        return false;
    servers.caFile = caFile;
    return true;
}

Setting MakeSetting(const Servers& servers, const kytest::RefusedPort& refused) {
    const int port = servers.httpPort;
    const std::string server = "http://127.0.0.1:" + std::to_string(port);
    Setting setting;
    setting.echoUrl = server + "/echo";
    setting.headerUrl = server + "/header?X-Torture-Reply=one&X-Torture-Reply=two";
    setting.failingUrl = server + "/status/500";
    setting.missingUrl = server + "/status/404";
    setting.refusedUrl = refused.url("/refused");
    setting.routedUrl = server + "/echo?route=ordinary";
    setting.dynamicUrl = "http://localhost:" + std::to_string(port) + "/bytes/64";
    setting.stalePrefix = "http://127.0.0.1:" + std::to_string(refused.port());
    setting.clientName = "torture-client";
    setting.secureUrl = "https://127.0.0.1:" + std::to_string(servers.httpsPort) + "/bytes/100";
    setting.secureRoutedUrl = "https://localhost:" + std::to_string(servers.httpsPort) + "/echo";
    setting.caFile = servers.caFile;
    return setting;
}

// The TLS library sets itself up once per process, on the first TLS connection, and a failure there
// stays for the life of the process: that is done once here, before the runs, by a session that does not
// share (so the pool, too, is first built in the runs).
bool WarmUpTls(const Setting& setting) {
    KYLibCurlGlobal::ShareConnections(false);
    bool ok = false;
    {
        KYLibCurl session;
        ok = session.KYLibCurlInit() &&
             session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, setting.caFile.c_str()) &&
             session.KYLibCurlSendHttpReq(HTTP_REQ_GET, setting.secureUrl, nullptr, 0, true, nullptr);
    }
    KYLibCurlGlobal::ShareConnections(true);
    return ok;
}

// A directory of its own for the trace file.
bool EnterScratchDirectory() {
    char path[] = "/tmp/alloc_torture.XXXXXX";
    return mkdtemp(path) != nullptr && chdir(path) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options)) return 2;
    int stop = -1;
    Servers servers;
    if (!StartServerProcess(servers, stop) || !EnterScratchDirectory()) {
        std::fprintf(stderr, "alloc_torture: cannot start the test server or make a scratch directory\n");
        return 2;
    }
    // libcurl's process-wide initialisation happens once per process, before any session of the runs.
    EvDebug::SetDestination("/dev/null");
    if (!KYLibCurlGlobal::Init()) return 2;
    const kytest::RefusedPort refused;
    Setting setting = MakeSetting(servers, refused);
    setting.tls = options.tls;
    if (setting.tls && !WarmUpTls(setting)) {
        std::fprintf(stderr, "alloc_torture: no HTTPS request to the test server succeeds\n");
        return 2;
    }
    kytest::PrepareInjectionSite();
    const auto started = std::chrono::steady_clock::now();
    long bad = 0;
    bool made = true;
    for (int i = 0; i < kytest::kScenarioCount; ++i) {
        const Scenario& scenario = kytest::kScenarios[i];
        if (!Chosen(options, scenario.name)) continue;
        Tally tally;
        made = Torture(scenario, setting, options, tally) && made;
        bad += tally.bad();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s after %.0f s\n", bad == 0 && made ? "every run sound" : "UNSOUND RUNS", seconds);
    close(stop);
    return made ? (bad == 0 ? 0 : 1) : 2;
}
