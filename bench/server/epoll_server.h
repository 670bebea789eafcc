// A single-threaded epoll HTTP/1.1 server on 127.0.0.1 for the benchmarks: keep-alive connections,
// pipelined requests, fixed small replies and generated bulk bodies. It does little per request, so that
// one client thread, not the server, sets the pace of every measurement.
#ifndef KYBENCH_SERVER_EPOLL_SERVER_H
#define KYBENCH_SERVER_EPOLL_SERVER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace kybench {

class EpollServer {
  public:
    EpollServer();
    ~EpollServer();
    EpollServer(const EpollServer&) = delete;
    EpollServer& operator=(const EpollServer&) = delete;

    // Listens on 127.0.0.1 at an ephemeral port; returns the port, or 0.
    int Listen();
    // Serves until the file descriptor watch (the driver's pipe) reaches its end or fails.
    void Run(int watch);

  private:
    struct Connection;

    void Accept();
    void Serve(int fd, uint32_t events);
    bool Receive(Connection& connection);
    // Sends what is pending and answers buffered requests; false when the connection must close.
    bool Progress(Connection& connection);
    bool SendPending(Connection& connection, bool& blocked);
    bool SendBulk(Connection& connection, bool& blocked);
    bool AnswerNext(Connection& connection, bool& answered);
    void WatchOutput(Connection& connection, bool on);
    void Close(int fd);
    std::string Stats() const;

    int m_epoll = -1;
    int m_listener = -1;
    uint64_t m_requests = 0;
    std::unique_ptr<char[]> m_pattern;
    std::map<int, std::unique_ptr<Connection>> m_connections;
};

}  // namespace kybench

#endif
