// The server is not the bottleneck: it answers pipelined small requests several times faster than one
// libcurl client thread sends them, and while one client runs, small requests or a large body, the server
// is busy a small share of the time.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bulk_clients.h"
#include "clocks.h"
#include "figures.h"
#include "loopback_socket.h"
#include "rounds.h"
#include "small_clients.h"

namespace kybench {
namespace {

constexpr int kPipelineDepth = 32;
constexpr int kPipelineBatches = 400;
constexpr int kClientBatch = 1000;
constexpr size_t kBulkBytes = 64 * 1024 * 1024;
constexpr char kRequest[] = "GET /small HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// A connection that sends requests in pipelined bursts and counts the reply bytes.
class PipelinedClient {
  public:
    explicit PipelinedClient(int port) {
        m_fd = ConnectLoopback(port);
        m_ready = m_fd >= 0;
        for (int i = 0; i < kPipelineDepth; ++i) m_burst += kRequest;
        m_ready = m_ready && LearnReplyLength();
    }
    ~PipelinedClient() { close(m_fd); }
    PipelinedClient(const PipelinedClient&) = delete;
    PipelinedClient& operator=(const PipelinedClient&) = delete;

    bool ready() const { return m_ready; }

    // Requests per second over a number of bursts.
    double Rate() {
        int64_t start = WallNs();
        for (int i = 0; i < kPipelineBatches && m_ready; ++i)
            m_ready = Send(m_burst) && Receive(m_replyLength * kPipelineDepth);
        return static_cast<double>(kPipelineBatches) * kPipelineDepth * 1e9 /
               static_cast<double>(WallNs() - start);
    }

  private:
    bool Send(const std::string& bytes) {
        return send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    bool Receive(size_t bytes) {
        char chunk[64 * 1024];
        while (bytes > 0) {
            ssize_t n = recv(m_fd, chunk, sizeof chunk < bytes ? sizeof chunk : bytes, 0);
            if (n <= 0) return false;
            bytes -= static_cast<size_t>(n);
        }
        return true;
    }

    // Every reply to the same request has the same length: read one whole reply to learn it.
    bool LearnReplyLength() {
        if (!Send(kRequest)) return false;
        std::string reply;
        char chunk[4096];
        for (;;) {
            ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            reply.append(chunk, static_cast<size_t>(n));
            size_t head = reply.find("\r\n\r\n");
            size_t field = reply.find("Content-Length: ");
            if (head == std::string::npos || field == std::string::npos) continue;
            size_t total = head + 4 + strtoul(reply.c_str() + field + 16, nullptr, 10);
            if (reply.size() < total) continue;
            m_replyLength = total;
            return reply.size() == total;
        }
    }

    int m_fd = -1;
    bool m_ready = false;
    std::string m_burst;
    size_t m_replyLength = 0;
};

Measurement LibcurlRate(SmallClient& client, bool& ok) {
    return [&client, &ok] {
        int64_t start = WallNs();
        ok = SendBatch(client, kClientBatch) && ok;
        return kClientBatch * 1e9 / static_cast<double>(WallNs() - start);
    };
}

// The server's CPU time as a share of the wall time while one libcurl client sends small requests.
bool ServerBusyShare(SmallClient& client, int port, double& share, double& cpuPerRequest) {
    ServerStats before;
    ServerStats after;
    if (!FetchServerStats(port, before)) return false;
    int64_t start = WallNs();
    bool ok = SendBatch(client, kClientBatch * 2);
    double wall = static_cast<double>(WallNs() - start);
    if (!ok || !FetchServerStats(port, after)) return false;
    share = (after.cpuNs - before.cpuNs) / wall;
    cpuPerRequest = (after.cpuNs - before.cpuNs) / (after.requests - before.requests);
    return true;
}

// The same while the session receives one large body.
bool ServerBusyShareBulk(int port, const std::string& url, double& share) {
    SessionBulkClient session;
    ServerStats before;
    ServerStats after;
    if (!session.ready() || !FetchServerStats(port, before)) return false;
    int64_t start = WallNs();
    bool ok = session.Fetch(url, kBulkBytes);
    double wall = static_cast<double>(WallNs() - start);
    if (!ok || !FetchServerStats(port, after)) return false;
    share = (after.cpuNs - before.cpuNs) / wall;
    return true;
}

}  // namespace

void RunServerCapacity(const SuiteOptions& options, const ServerProcess& server, Report& report) {
    report.Section("0. The bench server is not the bottleneck");
    fprintf(stderr, "kybench: server capacity\n");
    PipelinedClient pipelined(server.port());
    RawSmallClient raw(SmallRequest{false, false, server.Url("/small"), ""});
    bool ok = pipelined.ready() && SendBatch(raw, 50);
    if (!ok) {
        report.Unavailable("server capacity", "cannot reach the server");
        return;
    }
    auto rates = RotateRounds(options.Rounds(11), {[&] { return pipelined.Rate(); }, LibcurlRate(raw, ok)});
    if (!ok || !pipelined.ready()) {
        report.Unavailable("server capacity", "some requests failed");
        return;
    }
    report.Add({"server: pipelined small GETs/s",
                PerSecond(Median(rates[0]), "req"),
                "raw libcurl client " + PerSecond(Median(rates[1]), "req"),
                MedianRatio(rates[0], rates[1]),
                {}});
    double share = 0;
    double cpuPerRequest = 0;
    if (ServerBusyShare(raw, server.port(), share, cpuPerRequest))
        report.Add({"server: busy share, small requests",
                    Fixed(share * 100, 1) + " %",
                    "server CPU/request " + Micros(cpuPerRequest),
                    NAN,
                    {}});
    if (ServerBusyShareBulk(server.port(), server.Url("/bulk/" + std::to_string(kBulkBytes)), share))
        report.Add({"server: busy share, a 64 MiB body", Fixed(share * 100, 1) + " %", "", NAN, {}});
}

}  // namespace kybench
