// The tunnels of the process: listening sockets on 127.0.0.1 whose connections are relayed to a target,
// one tunnel per destination, all served by one epoll thread started on first use. Every member is safe
// to call from any thread.
#ifndef WZNETWORK_TUNNEL_RELAY_H
#define WZNETWORK_TUNNEL_RELAY_H

#include <pthread.h>
#include <sys/epoll.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "KyFwControl.h"
#include "buffer_pool.h"
#include "relay_connection.h"
#include "socket_ops.h"

namespace kyfw {

class TunnelRelay {
  public:
    // Never destroyed; its thread is stopped and joined when the library is unloaded or the process ends.
    static TunnelRelay& instance();

    // The local port of the live tunnel for host:port relayed to target, opened now when there is none;
    // 0 with the reason in problem.
    int openTunnel(const std::string& host, const std::string& target, int port, std::string& problem);
    bool closeTunnel(int localPort);
    void closeAll();
    size_t tunnelCount();
    size_t liveConnectionCount();
    size_t acceptedConnectionCount();
    size_t bufferBytes();
    RelayLimits limits();
    void setLimits(const RelayLimits& limits);
    void resetLimits();
    // Closes every tunnel and ends the thread; later tunnels are refused.
    void stop();

  private:
    struct Tunnel {
        std::string key;
        UniqueFd listener;
        int localPort = 0;
        SocketAddress target;
        bool paused = false;  // not watched until descriptors free up
        OwnedConnections connections;
    };
    using TunnelMap = std::map<uint64_t, Tunnel>;

    TunnelRelay() = default;
    static void registerForkHandlers();
    void afterForkInChild();

    bool startLocked(std::string& problem);
    void wakeLocked();
    const RelayLimits& limitsLocked();
    static void* threadMain(void* relay);
    void run();
    int waitTimeoutLocked() const;
    void turnLocked(const epoll_event* events, int count);

    bool watchLocked(int fd, uint32_t events, uint64_t token);
    void unwatchLocked(int fd);
    void dispatchLocked(const epoll_event& event);
    void drainWakeLocked();
    void acceptLocked(uint64_t tunnelId, Tunnel& tunnel);
    void pauseLocked(uint64_t tunnelId, Tunnel& tunnel);
    void watchListenerLocked(uint64_t tunnelId, Tunnel& tunnel, bool watched);
    void admitLocked(uint64_t tunnelId, Tunnel& tunnel, UniqueFd client);
    bool connectLocked(RelayConnection& connection, const SocketAddress& target);
    void serveLocked(RelayConnection& connection, bool targetSide, uint32_t events);
    void settleLocked(RelayConnection& connection, RelayConnection::Outcome outcome);
    void resumeLocked(QueuedConnections& yielded);
    void closeConnectionLocked(RelayConnection& connection, RelayConnection::Outcome outcome);
    void checkLocked();
    void expireLocked();
    void retryDescriptorsLocked();
    void closeTunnelLocked(TunnelMap::iterator tunnel);

    std::mutex m_mutex;
    UniqueFd m_epoll;
    UniqueFd m_wake;
    pthread_t m_thread{};
    bool m_running = false;
    bool m_stopping = false;
    bool m_stopped = false;
    uint64_t m_nextId = 1;
    size_t m_accepted = 0;
    size_t m_live = 0;
    RelayLimits m_limits;
    bool m_limitsKnown = false;
    BufferPool m_pool;
    TunnelMap m_tunnels;
    std::map<std::string, uint64_t> m_tunnelByKey;
    QueuedConnections m_yielded;  // flows stopped at their budget, moved on in the next turn
    QueuedConnections m_waiting;  // accepted, waiting for a descriptor towards the target
    OwnedConnections m_closed;    // freed at the end of the turn: events already taken may name them
    bool m_short = false;         // out of descriptors: listeners paused or connections waiting
    bool m_freed = false;         // a connection closed this turn
    RelayClock::time_point m_now;
    uint64_t m_turn = 0;
    RelayClock::time_point m_nextCheck;
};

}  // namespace kyfw

#endif
