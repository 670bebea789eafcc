// Figure 1: client CPU per small request, session against raw libcurl.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "clocks.h"
#include "figures.h"
#include "rounds.h"
#include "small_clients.h"

namespace kybench {
namespace {

constexpr int kBatch = 400;
constexpr int kWarmUp = 50;

struct BatchTimes {
    std::vector<double> wallNs;
    bool ok = true;
};

// CPU nanoseconds per request of one batch; the batch's wall time goes to times.
Measurement CpuPerRequest(SmallClient& client, BatchTimes& times) {
    return [&client, &times] {
        int64_t wall = WallNs();
        int64_t cpu = ThreadCpuNs();
        times.ok = SendBatch(client, kBatch) && times.ok;
        cpu = ThreadCpuNs() - cpu;
        times.wallNs.push_back(static_cast<double>(WallNs() - wall) / kBatch);
        return static_cast<double>(cpu) / kBatch;
    };
}

std::string Label(const SmallRequest& request) {
    std::string label = request.post ? "small POST" : "small GET";
    if (request.noSignal) label += " +NOSIGNAL";
    return label;
}

void MeasureOne(const SuiteOptions& options, const SmallRequest& request, Report& report) {
    const std::string label = Label(request);
    SessionSmallClient session(request);
    RawSmallClient raw(request);
    if (!session.ready() || !SendBatch(session, kWarmUp) || !SendBatch(raw, kWarmUp)) {
        report.Unavailable(label + ": client CPU/request", "warm-up requests failed");
        return;
    }
    BatchTimes sessionTimes;
    BatchTimes rawTimes;
    auto cpu = RotateRounds(options.Rounds(81),
                            {CpuPerRequest(session, sessionTimes), CpuPerRequest(raw, rawTimes)});
    if (!sessionTimes.ok || !rawTimes.ok) {
        report.Unavailable(label + ": client CPU/request", "some requests failed");
        return;
    }
    Target target = request.noSignal ? Target() : Target::AtMost(1.05);
    report.Add({label + ": client CPU/request", Micros(Median(cpu[0])),
                "raw libcurl " + Micros(Median(cpu[1])), MedianRatio(cpu[0], cpu[1]), target});
    double sessionRate = 1e9 / Median(sessionTimes.wallNs);
    double rawRate = 1e9 / Median(rawTimes.wallNs);
    report.Add({label + ": requests/s (wall)",
                PerSecond(sessionRate, "req"),
                "raw libcurl " + PerSecond(rawRate, "req"),
                MedianRatio(rawTimes.wallNs, sessionTimes.wallNs),
                {}});
}

// The loop callers are told to write to keep their own header lines: append them once, send with
// freeHeaderList false and take the body each time. The reply header lines accumulate, as documented; the
// cost of a request must not grow with them. The last slice of the run is set against the first.
void MeasureKeptLists(const SuiteOptions& options, const std::string& url, Report& report) {
    const char* figure = "small GET, lists kept: last/first slice";
    const int slices = options.quick ? 4 : 8;
    constexpr int kSlice = 2000;
    KYLibCurl session;
    if (!session.KYLibCurlInit(nullptr, false, false, nullptr) ||
        !session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "Accept: application/json")) {
        report.Unavailable(figure, "the session cannot be set up");
        return;
    }
    std::vector<double> sliceCpu;
    for (int slice = 0; slice < slices; ++slice) {
        const int64_t cpu = ThreadCpuNs();
        for (int i = 0; i < kSlice; ++i) {
            if (!session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url.c_str(), nullptr, 0, false, nullptr)) {
                report.Unavailable(figure, "some requests failed");
                return;
            }
            size_t length = 0;
            free(session.GetHttpResponse(length, true));
        }
        sliceCpu.push_back(static_cast<double>(ThreadCpuNs() - cpu) / kSlice);
    }
    report.Add({figure, Micros(sliceCpu.back()), "first slice " + Micros(sliceCpu.front()),
                sliceCpu.back() / sliceCpu.front(), Target::AtMost(1.25)});
}

}  // namespace

void RunSmallRequests(const SuiteOptions& options, const ServerProcess& server, Report& report) {
    report.Section("1. Small requests (100-byte replies), session with fresh lists vs raw libcurl");
    for (bool noSignal : {false, true}) {
        for (bool post : {false, true}) {
            fprintf(stderr, "kybench: small requests (%s%s)\n", post ? "POST" : "GET",
                    noSignal ? ", NOSIGNAL" : "");
            MeasureOne(options, SmallRequest{post, noSignal, server.Url("/small"), ""}, report);
        }
    }
    fprintf(stderr, "kybench: small requests (lists kept)\n");
    MeasureKeptLists(options, server.Url("/small"), report);
}

}  // namespace kybench
