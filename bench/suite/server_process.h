// The bench server as a child process: started beside the driver, stopped with it. A separate process
// keeps the server's work out of the client's CPU clock and out of callgrind's instruction counts.
#ifndef KYBENCH_SUITE_SERVER_PROCESS_H
#define KYBENCH_SUITE_SERVER_PROCESS_H

#include <sys/types.h>

#include <string>

namespace kybench {

class ServerProcess {
  public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts the server binary; false with the reason in problem.
    bool Start(const std::string& binary, std::string& problem);
    void Stop();
    int port() const { return m_port; }
    std::string Url(const std::string& path) const;

  private:
    pid_t m_pid = -1;
    int m_control = -1;  // the server's standard input: closing it ends the server
    int m_port = 0;
};

struct ServerStats {
    double cpuNs = 0;
    double requests = 0;
};

// Asks the server at port for its CPU time and request count over a connection of its own.
bool FetchServerStats(int port, ServerStats& out);

// The directory the running executable lies in, where the server binary is built beside it.
std::string ExecutableDirectory();

}  // namespace kybench

#endif
