// The figure groups of the suite. Each measures its contenders side by side and adds its rows to the
// report; a group that cannot run says so in its rows instead.
#ifndef KYBENCH_SUITE_FIGURES_H
#define KYBENCH_SUITE_FIGURES_H

#include <cstddef>
#include <string>

#include "report.h"
#include "server_process.h"
#include "suite_options.h"

namespace kybench {

void RunServerCapacity(const SuiteOptions& options, const ServerProcess& server, Report& report);
void RunSmallRequests(const SuiteOptions& options, const ServerProcess& server, Report& report);
void RunInstructionCounts(const SuiteOptions& options, const ServerProcess& server, Report& report);
void RunLargeBodies(const SuiteOptions& options, const ServerProcess& server, Report& report);
void RunRoutedRequests(const SuiteOptions& options, const ServerProcess& server, Report& report);
void RunTunnelCache(const SuiteOptions& options, Report& report);
void RunEncoders(const SuiteOptions& options, Report& report);
void RunRelayLoad(const SuiteOptions& options, const ServerProcess& server, Report& report);
// Against nginx when it is installed; plain HTTP falls back to the bench server.
void RunSessionsPerCall(const SuiteOptions& options, const ServerProcess& server, Report& report);
// Figure 6, continued: the relay's spliced flows against its copied ones, through tunnels to echoPort.
void AddRelaySpliceRows(const SuiteOptions& options, int echoPort, Report& report);
// Pings beside bulk streams with the relay's latency-first scheduling on and off, and direct.
void AddLatencyFirstRows(const SuiteOptions& options, int echoPort, Report& report);

// The body of the driver when it runs under callgrind: counts instructions of the small-request clients
// against the server at port, with one callgrind dump per batch.
int CallgrindWorker(int port);
// Figure 2, continued: a large body in fresh processes with and without the relay thread.
void MeasureProcessShapes(const SuiteOptions& options, const ServerProcess& server, Report& report);
// The body of the driver as a rate worker: one client ("session" or "realloc") receives the body at url
// in this fresh process, with the relay thread running when relay is set, and prints "rate <bytes/s>".
int RateWorker(const std::string& client, const std::string& url, size_t bytes, bool relay);
// The body of the driver as a peak-memory worker: one client ("session", "string" or "realloc")
// receives the body at url and the resident growth is printed as "peak <bytes>".
int PeakWorker(const std::string& client, const std::string& url, size_t bytes);

}  // namespace kybench

#endif
