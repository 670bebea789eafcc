// Figure 3: requests routed through a tunnel of the firewall stand-in's relay against direct requests to
// the same server, both from a session; and, for reference, direct requests through a plain relay in the
// same process. Client, relay and server share the machine's cores.
#include <cstdio>
#include <string>

#include "KyFwControl.h"
#include "bulk_clients.h"
#include "clocks.h"
#include "figures.h"
#include "plain_relay.h"
#include "rounds.h"
#include "small_clients.h"

namespace kybench {
namespace {

constexpr char kClientName[] = "kybench-client";
constexpr int kSmallBatch = 400;
constexpr int kCpuBatch = 2000;
constexpr size_t kBulkBytes = 64 * 1024 * 1024;

// Every plain client name is asked about as the empty host name; its tunnels go to 127.0.0.1.
void RouteThroughTunnel() {
    kyfw::setRoute("", kyfw::Route::Tunnel);
    kyfw::setRoute(kClientName, kyfw::Route::Tunnel, "127.0.0.1");
}

Measurement WallPerRequest(SmallClient& client, bool& ok) {
    return [&client, &ok] {
        int64_t start = WallNs();
        ok = SendBatch(client, kSmallBatch) && ok;
        return static_cast<double>(WallNs() - start) / kSmallBatch;
    };
}

struct CpuSplit {
    double client = 0;  // the sending thread
    double relay = 0;   // every other thread of the process: the relay's
    double server = 0;
};

// Where one small request's CPU goes, over one long batch.
bool MeasureCpuSplit(SmallClient& client, int port, CpuSplit& out) {
    ServerStats before;
    ServerStats after;
    if (!FetchServerStats(port, before)) return false;
    int64_t process = ProcessCpuNs();
    int64_t thread = ThreadCpuNs();
    bool ok = SendBatch(client, kCpuBatch);
    thread = ThreadCpuNs() - thread;
    process = ProcessCpuNs() - process;
    if (!ok || !FetchServerStats(port, after)) return false;
    out.client = static_cast<double>(thread) / kCpuBatch;
    out.relay = static_cast<double>(process - thread) / kCpuBatch;
    out.server = (after.cpuNs - before.cpuNs) / (after.requests - before.requests);
    return true;
}

// "client+relay+server us", or "client+server us" for a request that no relay of ours carries.
std::string SplitText(const CpuSplit& split, bool relayed) {
    std::string text = Fixed(split.client / 1000, 1);
    if (relayed) text += "+" + Fixed(split.relay / 1000, 1);
    return text + "+" + Fixed(split.server / 1000, 1) + " us";
}

void MeasureSmall(const SuiteOptions& options, const ServerProcess& server, int plainPort, Report& report) {
    const std::string url = server.Url("/small");
    const std::string plainUrl = "http://127.0.0.1:" + std::to_string(plainPort) + "/small";
    SessionSmallClient direct(SmallRequest{false, false, url, ""});
    SessionSmallClient routed(SmallRequest{false, false, url, kClientName});
    SessionSmallClient plain(SmallRequest{false, false, plainUrl, ""});
    if (!direct.ready() || !routed.ready() || !plain.ready() || !SendBatch(direct, 50) ||
        !SendBatch(routed, 50) || !SendBatch(plain, 50)) {
        report.Unavailable("routed small GET: requests/s", "warm-up requests failed");
        return;
    }
    bool ok = true;
    auto wall = RotateRounds(options.Rounds(61), {WallPerRequest(routed, ok), WallPerRequest(direct, ok),
                                                  WallPerRequest(plain, ok)});
    if (!ok) {
        report.Unavailable("routed small GET: requests/s", "some requests failed");
        return;
    }
    const std::string directRate = "direct " + PerSecond(1e9 / Median(wall[1]), "req");
    report.Add({"routed small GET: requests/s", PerSecond(1e9 / Median(wall[0]), "req"), directRate,
                MedianRatio(wall[1], wall[0]), Target::AtLeast(0.58)});
    report.Add({"  reference: through a plain relay",
                PerSecond(1e9 / Median(wall[2]), "req"),
                directRate,
                MedianRatio(wall[1], wall[2]),
                {}});
    CpuSplit routedSplit;
    CpuSplit directSplit;
    CpuSplit plainSplit;
    if (MeasureCpuSplit(routed, server.port(), routedSplit) &&
        MeasureCpuSplit(direct, server.port(), directSplit) &&
        MeasureCpuSplit(plain, server.port(), plainSplit)) {
        report.Add({"routed small GET: CPU client+relay+server",
                    SplitText(routedSplit, true),
                    "direct " + SplitText(directSplit, false),
                    NAN,
                    {}});
        report.Add({"  reference: plain relay", SplitText(plainSplit, true), "", NAN, {}});
    }
}

// With keepBody the bodies go into the session's reply buffer, as a caller's would; without, they are
// only counted, which leaves the way to the server alone in the figure.
void MeasureBulk(const SuiteOptions& options, const ServerProcess& server, int plainPort, bool keepBody,
                 Report& report) {
    const std::string figure = keepBody ? "routed 64 MiB body: throughput" : "routed 64 MiB, bodies counted";
    const std::string path = "/bulk/" + std::to_string(kBulkBytes);
    const std::string url = server.Url(path);
    const std::string plainUrl = "http://127.0.0.1:" + std::to_string(plainPort) + path;
    SessionBulkClient direct(nullptr, keepBody);
    SessionBulkClient routed(kClientName, keepBody);
    SessionBulkClient plain(nullptr, keepBody);
    const std::string warmUrl = server.Url("/bulk/4096");
    const std::string plainWarmUrl = "http://127.0.0.1:" + std::to_string(plainPort) + "/bulk/4096";
    if (!direct.ready() || !routed.ready() || !plain.ready() || !direct.Fetch(warmUrl, 4096) ||
        !routed.Fetch(warmUrl, 4096) || !plain.Fetch(plainWarmUrl, 4096)) {
        report.Unavailable(figure, "warm-up transfers failed");
        return;
    }
    bool ok = true;
    auto rates = RotateRounds(options.Rounds(15), {TransferRate(routed, url, kBulkBytes, ok),
                                                   TransferRate(direct, url, kBulkBytes, ok),
                                                   TransferRate(plain, plainUrl, kBulkBytes, ok)});
    if (!ok) {
        report.Unavailable(figure, "some transfers failed");
        return;
    }
    const std::string directRate = "direct " + BytesPerSecond(Median(rates[1]));
    report.Add({figure, BytesPerSecond(Median(rates[0])), directRate, MedianRatio(rates[0], rates[1]),
                keepBody ? Target::AtLeast(0.75) : Target()});
    report.Add({"  reference: through a plain relay",
                BytesPerSecond(Median(rates[2])),
                directRate,
                MedianRatio(rates[2], rates[1]),
                {}});
}

}  // namespace

void RunRoutedRequests(const SuiteOptions& options, const ServerProcess& server, Report& report) {
    report.Section("3. Routed through a tunnel of the stand-in relay vs direct (session both ways)");
    fprintf(stderr, "kybench: routed requests\n");
    RouteThroughTunnel();
    PlainRelay plain;
    const int plainPort = plain.Start(server.port());
    if (plainPort == 0) {
        report.Unavailable("routed requests", "the reference relay cannot listen");
        return;
    }
    MeasureSmall(options, server, plainPort, report);
    MeasureBulk(options, server, plainPort, true, report);
    MeasureBulk(options, server, plainPort, false, report);
    kyfw::closeAllTunnels();
}

}  // namespace kybench
