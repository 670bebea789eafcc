// Figure 7: a session made for every request against one session kept for all of them, over plain HTTP and
// HTTPS, from one thread and from eight. Sessions share kept connections and TLS sessions; the same
// sessions with sharing turned off show what each new session cost before.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "clocks.h"
#include "figures.h"
#include "kylibcurl.h"
#include "nginx_process.h"
#include "rounds.h"

namespace kybench {
namespace {

struct Endpoint {
    std::string url;
    std::string caFile;  // verified against this certificate; empty for plain HTTP
};

bool InitSession(KYLibCurl& session, const Endpoint& endpoint) {
    return session.KYLibCurlInit(nullptr, false, false, nullptr) &&
           (endpoint.caFile.empty() ||
            session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, endpoint.caFile.c_str()));
}

bool Get(KYLibCurl& session, const Endpoint& endpoint) {
    return session.KYLibCurlSendHttpReq(HTTP_REQ_GET, endpoint.url.c_str(), nullptr, 0, true, nullptr);
}

enum class Way { Kept, PerCall, PerCallAlone };

// One way of sending, from a number of threads at once; each batch gives the wall time per request and
// adds the process's CPU time per request to cpuNs.
class Contender {
  public:
    Contender(Way way, const Endpoint& endpoint, int threads)
        : m_way(way), m_endpoint(endpoint), m_threads(threads) {
        if (way != Way::Kept) return;
        for (int t = 0; t < threads; ++t) {
            m_kept.push_back(std::make_unique<KYLibCurl>());
            ok = InitSession(*m_kept.back(), endpoint) && ok;
        }
    }

    double RunBatch(int perThread) {
        if (m_way == Way::PerCallAlone) KYLibCurlGlobal::ShareConnections(false);
        std::atomic<int> failures{0};
        const int64_t wall = WallNs();
        const int64_t cpu = ProcessCpuNs();
        if (m_threads == 1) {
            SendFrom(0, perThread, failures);
        } else {
            std::vector<std::thread> threads;
            for (int t = 0; t < m_threads; ++t)
                threads.emplace_back([this, t, perThread, &failures] { SendFrom(t, perThread, failures); });
            for (std::thread& thread : threads) thread.join();
        }
        const double requests = static_cast<double>(perThread) * m_threads;
        cpuNs.push_back(static_cast<double>(ProcessCpuNs() - cpu) / requests);
        const double wallPerRequest = static_cast<double>(WallNs() - wall) / requests;
        KYLibCurlGlobal::ShareConnections(true);
        ok = failures.load() == 0 && ok;
        return wallPerRequest;
    }

    std::vector<double> cpuNs;
    bool ok = true;

  private:
    void SendFrom(int thread, int count, std::atomic<int>& failures) {
        for (int i = 0; i < count; ++i) {
            if (!Send(thread)) ++failures;
        }
    }

    bool Send(int thread) {
        if (m_way == Way::Kept) return Get(*m_kept[thread], m_endpoint);
        KYLibCurl session;
        return InitSession(session, m_endpoint) && Get(session, m_endpoint);
    }

    Way m_way;
    Endpoint m_endpoint;
    int m_threads;
    std::vector<std::unique_ptr<KYLibCurl>> m_kept;
};

void MeasureOne(const SuiteOptions& options, const std::string& label, const Endpoint& endpoint, int threads,
                Report& report) {
    const int perThread = threads == 1 ? 200 : 40;
    Contender kept(Way::Kept, endpoint, threads);
    Contender perCall(Way::PerCall, endpoint, threads);
    Contender alone(Way::PerCallAlone, endpoint, threads);
    kept.RunBatch(perThread / 4);
    perCall.RunBatch(perThread / 4);
    alone.RunBatch(perThread / 4);
    if (!kept.ok || !perCall.ok || !alone.ok) {
        report.Unavailable(label + ": requests/s", "warm-up requests failed");
        return;
    }
    kept.cpuNs.clear();
    perCall.cpuNs.clear();
    alone.cpuNs.clear();
    auto wall = RotateRounds(options.Rounds(11), {[&] { return kept.RunBatch(perThread); },
                                                  [&] { return perCall.RunBatch(perThread); },
                                                  [&] { return alone.RunBatch(perThread); }});
    if (!kept.ok || !perCall.ok || !alone.ok) {
        report.Unavailable(label + ": requests/s", "some requests failed");
        return;
    }
    const std::string keptRate = "kept session " + PerSecond(1e9 / Median(wall[0]), "req");
    const std::string keptCpu = "kept session " + Micros(Median(kept.cpuNs));
    report.Add({label + ": req/s, session per call", PerSecond(1e9 / Median(wall[1]), "req"), keptRate,
                MedianRatio(wall[0], wall[1]), Target::AtLeast(0.8)});
    report.Add({label + ": CPU/req, session per call", Micros(Median(perCall.cpuNs)), keptCpu,
                MedianRatio(perCall.cpuNs, kept.cpuNs), Target::AtMost(1.25)});
    report.Add({label + ": req/s, per call, sharing off",
                PerSecond(1e9 / Median(wall[2]), "req"),
                keptRate,
                MedianRatio(wall[0], wall[2]),
                {}});
    report.Add({label + ": CPU/req, per call, sharing off",
                Micros(Median(alone.cpuNs)),
                keptCpu,
                MedianRatio(alone.cpuNs, kept.cpuNs),
                {}});
}

}  // namespace

void RunSessionsPerCall(const SuiteOptions& options, const ServerProcess& server, Report& report) {
    report.Section("7. A session per request vs a kept session (shared connections and TLS sessions)");
    NginxProcess nginx;
    std::string problem;
    const bool haveNginx = nginx.Start(problem);
    for (bool https : {false, true}) {
        Endpoint endpoint;
        std::string label = https ? "HTTPS" : "HTTP";
        if (haveNginx) {
            endpoint = {nginx.Url(https, "/small"), https ? nginx.caFile() : ""};
            label += " nginx";
        } else if (!https) {
            endpoint = {server.Url("/small"), ""};
            label += " bench server";
        } else {
            report.Unavailable(label + ": requests/s", problem);
            continue;
        }
        for (int threads : {1, 8}) {
            const std::string figure =
                label + ", " + std::to_string(threads) + (threads == 1 ? " thread" : " threads");
            fprintf(stderr, "kybench: sessions per request (%s)\n", figure.c_str());
            MeasureOne(options, figure, endpoint, threads, report);
        }
    }
}

}  // namespace kybench
