// A TCP echo server in a child process of its own, for the relay figures: one thread, level-triggered
// epoll, each connection's bytes sent back in the order they came. A separate process keeps its work out
// of the driver's threads, as the bench server's is.
#ifndef KYBENCH_SUITE_ECHO_PROCESS_H
#define KYBENCH_SUITE_ECHO_PROCESS_H

#include <sys/types.h>

namespace kybench {

class EchoProcess {
  public:
    EchoProcess() = default;
    ~EchoProcess();
    EchoProcess(const EchoProcess&) = delete;
    EchoProcess& operator=(const EchoProcess&) = delete;

    // Forks the server; its port on 127.0.0.1, or 0 when it could not start.
    int Start();
    void Stop();

  private:
    pid_t m_pid = -1;
};

}  // namespace kybench

#endif
