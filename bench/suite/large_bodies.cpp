// Figure 2: large bodies into the session's reply buffer, against raw libcurl appending to a std::string
// and raw libcurl growing a malloc block exactly; and the peak memory a body costs.
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "bulk_clients.h"
#include "clocks.h"
#include "figures.h"
#include "peak_memory.h"
#include "rounds.h"
#include "worker_process.h"

namespace kybench {
namespace {

constexpr size_t kMiB = 1024 * 1024;

// The resident growth while one client receives the body, measured in a fresh process of its own: how
// glibc grows a block depends on what the process freed before (freeing blocks of up to 32 MiB raises
// its mmap threshold), and the clients of one process would shape each other's figure.
double PeakInFreshProcess(const SuiteOptions& options, const char* client, const std::string& url,
                          size_t bytes) {
    return WorkerNumber(
        options.selfBinary + " --peak-worker " + client + " " + url + " " + std::to_string(bytes),
        "peak %lf");
}

void MeasureSize(const SuiteOptions& options, const ServerProcess& server, size_t mebibytes, int rounds,
                 Report& report) {
    const size_t bytes = mebibytes * kMiB;
    const std::string url = server.Url("/bulk/" + std::to_string(bytes));
    const std::string label = std::to_string(mebibytes) + " MiB body";
    fprintf(stderr, "kybench: %s\n", label.c_str());

    SessionBulkClient session;
    StringBulkClient appended;
    ReallocBulkClient exact;
    const std::string warmUrl = server.Url("/bulk/4096");
    if (!session.ready() || !session.Fetch(warmUrl, 4096) || !appended.Fetch(warmUrl, 4096) ||
        !exact.Fetch(warmUrl, 4096)) {
        report.Unavailable(label + ": throughput", "warm-up transfers failed");
        return;
    }
    bool ok = true;
    auto rates = RotateRounds(options.Rounds(rounds),
                              {TransferRate(session, url, bytes, ok), TransferRate(appended, url, bytes, ok),
                               TransferRate(exact, url, bytes, ok)});
    if (!ok) {
        report.Unavailable(label + ": throughput", "some transfers failed");
        return;
    }
    const std::string sessionRate = BytesPerSecond(Median(rates[0]));
    report.Add({label + ": throughput vs std::string", sessionRate,
                "raw libcurl + std::string " + BytesPerSecond(Median(rates[1])),
                MedianRatio(rates[0], rates[1]), Target::AtLeast(2.0)});
    report.Add({label + ": throughput vs exact realloc", sessionRate,
                "raw libcurl + realloc " + BytesPerSecond(Median(rates[2])), MedianRatio(rates[0], rates[2]),
                Target::AtLeast(0.95)});
    const double peak = PeakInFreshProcess(options, "session", url, bytes);
    const double stringPeak = PeakInFreshProcess(options, "string", url, bytes);
    const double exactPeak = PeakInFreshProcess(options, "realloc", url, bytes);
    if (std::isnan(peak)) {
        report.Unavailable(label + ": peak memory / body", "the peak worker failed");
        return;
    }
    report.Add(
        {label + ": peak memory / body", Fixed(peak / kMiB, 1) + " MiB",
         "std::string " + Fixed(stringPeak / kMiB, 1) + ", realloc " + Fixed(exactPeak / kMiB, 1) + " MiB",
         peak / static_cast<double>(bytes), Target::AtMost(1.10)});
}

}  // namespace

void RunLargeBodies(const SuiteOptions& options, const ServerProcess& server, Report& report) {
    report.Section("2. Large bodies into the reply buffer (throughput, peak resident growth)");
    MeasureSize(options, server, 64, 21, report);
    MeasureSize(options, server, 256, 11, report);
    MeasureProcessShapes(options, server, report);
}

int PeakWorker(const std::string& client, const std::string& url, size_t bytes) {
    std::unique_ptr<BulkClient> receiver;
    if (client == "session") receiver = std::make_unique<SessionBulkClient>();
    if (client == "string") receiver = std::make_unique<StringBulkClient>();
    if (client == "realloc") receiver = std::make_unique<ReallocBulkClient>();
    const std::string warmUrl = url.substr(0, url.find("/bulk/")) + "/bulk/4096";
    if (!receiver || !receiver->Fetch(warmUrl, 4096)) return 1;
    receiver->Release();
    if (!ResetPeakResident()) return 1;
    double resident = ResidentBytes();
    if (!receiver->Fetch(url, bytes)) return 1;
    printf("peak %.0f\n", PeakResidentBytes() - resident);
    return 0;
}

}  // namespace kybench
