// The tunnels of the process: listening sockets on 127.0.0.1 whose connections are relayed to a target,
// all served by one epoll thread started on first use. Every member is safe to call from any thread.
#ifndef WZNETWORK_TUNNEL_RELAY_H
#define WZNETWORK_TUNNEL_RELAY_H

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "relay_connection.h"
#include "socket_ops.h"

namespace kyfw {

class TunnelRelay {
  public:
    // Never destroyed; its thread is stopped and joined when the library is unloaded or the process ends.
    static TunnelRelay& instance();

    // The local port of a new tunnel to target:port, or 0 with the reason in problem.
    int openTunnel(const std::string& target, int port, std::string& problem);
    bool closeTunnel(int localPort);
    void closeAll();
    size_t tunnelCount();
    size_t liveConnectionCount();
    size_t acceptedConnectionCount();
    // Closes every tunnel and ends the thread; later tunnels are refused.
    void stop();

  private:
    struct Tunnel {
        UniqueFd listener;
        int localPort = 0;
        SocketAddress target;
        std::set<uint64_t> connections;
    };

    TunnelRelay() = default;
    bool startLocked(std::string& problem);
    bool watchLocked(int fd, uint32_t events, uint64_t token);
    static void* threadMain(void* relay);
    void run();
    void dispatchLocked(const epoll_event& event);
    void drainWakeLocked();
    void acceptLocked(uint64_t tunnelId, Tunnel& tunnel);
    void relayLocked(uint64_t tunnelId, Tunnel& tunnel, UniqueFd client);
    void serveLocked(uint64_t connectionId, bool targetSide, uint32_t events);
    void forgetConnectionLocked(uint64_t connectionId);
    void closeTunnelLocked(std::map<uint64_t, Tunnel>::iterator tunnel);

    std::mutex m_mutex;
    UniqueFd m_epoll;
    UniqueFd m_wake;
    pthread_t m_thread{};
    bool m_running = false;
    pid_t m_owner = 0;
    bool m_stopping = false;
    bool m_stopped = false;
    uint64_t m_nextId = 1;
    size_t m_accepted = 0;
    std::map<uint64_t, Tunnel> m_tunnels;
    std::map<uint64_t, std::unique_ptr<RelayConnection>> m_connections;
};

}  // namespace kyfw

#endif
