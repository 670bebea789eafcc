// Figure 2, continued: one large body received in a fresh process of each shape, with and without the
// tunnel relay's thread. A thread's stack and its malloc arena are mappings beside which a growing block
// may find no room to grow in place; glibc then moves it with mremap, and a block grown by every piece
// is moved once per piece.
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "KyFwControl.h"
#include "bulk_clients.h"
#include "clocks.h"
#include "figures.h"
#include "rounds.h"
#include "worker_process.h"

namespace kybench {
namespace {

constexpr size_t kMiB = size_t{1024} * 1024;
constexpr size_t kBodyMiB = 256;
constexpr char kRelayClient[] = "kybench-relay-client";

// One transfer in a fresh worker process; NaN when the worker failed.
double RateInFreshProcess(const SuiteOptions& options, const char* client, bool relay, const std::string& url,
                          size_t bytes) {
    return WorkerNumber(options.selfBinary + " --rate-worker " + client + " " + url + " " +
                            std::to_string(bytes) + (relay ? " relay" : " alone"),
                        "rate %lf");
}

Measurement FreshProcessRate(const SuiteOptions& options, const char* client, bool relay,
                             const std::string& url, size_t bytes, bool& ok) {
    return [&options, client, relay, url, bytes, &ok] {
        const double rate = RateInFreshProcess(options, client, relay, url, bytes);
        ok = ok && !std::isnan(rate);
        return rate;
    };
}

}  // namespace

void MeasureProcessShapes(const SuiteOptions& options, const ServerProcess& server, Report& report) {
    const size_t bytes = kBodyMiB * kMiB;
    const std::string url = server.Url("/bulk/" + std::to_string(bytes));
    const std::string label = std::to_string(kBodyMiB) + " MiB body";
    fprintf(stderr, "kybench: %s in fresh processes, with and without the relay thread\n", label.c_str());
    bool ok = true;
    auto rates =
        RotateRounds(options.Rounds(7), {FreshProcessRate(options, "session", true, url, bytes, ok),
                                         FreshProcessRate(options, "session", false, url, bytes, ok),
                                         FreshProcessRate(options, "realloc", false, url, bytes, ok),
                                         FreshProcessRate(options, "realloc", true, url, bytes, ok)});
    if (!ok) {
        report.Unavailable(label + ", relay thread alive", "a worker process failed");
        return;
    }
    const std::string sessionRate = BytesPerSecond(Median(rates[0]));
    report.Add({label + ", relay thread alive", sessionRate,
                "session, no relay " + BytesPerSecond(Median(rates[1])), MedianRatio(rates[0], rates[1]),
                Target::AtLeast(0.9)});
    report.Add({label + ", relay alive vs raw",
                sessionRate,
                "realloc, empty process " + BytesPerSecond(Median(rates[2])),
                MedianRatio(rates[0], rates[2]),
                {}});
    report.Add({"  reference: realloc, relay alive",
                BytesPerSecond(Median(rates[3])),
                "realloc, empty process " + BytesPerSecond(Median(rates[2])),
                MedianRatio(rates[3], rates[2]),
                {}});
}

int RateWorker(const std::string& client, const std::string& url, size_t bytes, bool relay) {
    const std::string warmUrl = url.substr(0, url.find("/bulk/")) + "/bulk/4096";
    // A routed request leaves the relay thread running, with the connection it relayed.
    std::unique_ptr<SessionBulkClient> routed;
    if (relay) {
        kyfw::setRoute("", kyfw::Route::Tunnel);
        routed = std::make_unique<SessionBulkClient>(kRelayClient);
        if (!routed->ready() || !routed->Fetch(warmUrl, 4096)) return 1;
    }
    std::unique_ptr<BulkClient> receiver;
    if (client == "session") receiver = std::make_unique<SessionBulkClient>();
    if (client == "realloc") receiver = std::make_unique<ReallocBulkClient>();
    if (!receiver || !receiver->Fetch(warmUrl, 4096)) return 1;
    receiver->Release();
    const int64_t start = WallNs();
    if (!receiver->Fetch(url, bytes)) return 1;
    const int64_t elapsed = WallNs() - start;
    printf("rate %.0f\n", static_cast<double>(bytes) * 1e9 / static_cast<double>(elapsed));
    return 0;
}

}  // namespace kybench
