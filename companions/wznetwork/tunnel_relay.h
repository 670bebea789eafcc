// The tunnels of the process: listening sockets on 127.0.0.1 whose connections are relayed to a target,
// one tunnel per destination, all served by one epoll thread started on first use. A tunnel is known by
// its local port, which no other tunnel of the relay has while it lives nor within the port's quarantine
// after. Every member is safe to call from any thread.
#ifndef WZNETWORK_TUNNEL_RELAY_H
#define WZNETWORK_TUNNEL_RELAY_H

#include <pthread.h>
#include <sys/epoll.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "KyFwClient.h"
#include "KyFwControl.h"
#include "buffer_pool.h"
#include "fork_safe_instance.h"
#include "relay_connection.h"
#include "socket_ops.h"
#include "tunnel_ports.h"

namespace kyfw {

class TunnelRelay {
  public:
    // Never destroyed; its thread is stopped and joined when the library is unloaded or the process ends.
    static TunnelRelay& instance();

    // The local port of the live tunnel for host:port relayed to target, opened now when there is none;
    // 0 with the reason in problem. At the cap on tunnels the least recently used idle one is given back
    // first; when every tunnel is busy the set-up fails at once.
    int openTunnel(const std::string& host, const std::string& target, int port, std::string& problem);
    // What became of the tunnel once opened at localPort for host:port relayed to target.
    KyFwTunnelStateCode tunnelState(int localPort, const std::string& host, const std::string& target,
                                    int port);
    bool closeTunnel(int localPort);
    void closeAll();
    size_t tunnelCount();
    std::vector<TunnelInfo> tunnels();
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
        // Host names compare without regard to case: callers pass the client table's form of the host.
        bool leadsTo(const std::string& toHost, const std::string& toTarget, int toPort) const {
            return port == toPort && host == toHost && targetAddress == toTarget;
        }
        std::string host;
        std::string targetAddress;
        int port = 0;
        UniqueFd listener;
        SocketAddress target;
        bool paused = false;  // not watched until descriptors free up
        OwnedConnections connections;
        RelayClock::time_point lastUse;  // last hand-out of its port, accept or end of a connection
        bool awaitingClient = false;     // its port was handed out and no connection came since
        RelayClock::time_point handedOutAt;
        // While paused: the connections in the listener's queue when it was last looked at, and when.
        bool queueNoted = false;
        size_t queuedAtNote = 0;
        RelayClock::time_point queueNotedAt;
    };
    // By local port, their one index: a destination's tunnel is found by a walk over them.
    using TunnelMap = std::map<uint64_t, Tunnel>;

    friend class ForkSafeInstance<TunnelRelay>;
    TunnelRelay() = default;
    // The relay's lock is held across fork(), so the child's copy of the relay is in a settled state.
    void lockForFork() { m_mutex.lock(); }
    void unlockAfterFork() { m_mutex.unlock(); }
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
    void takeEventLocked(const epoll_event& event, QueuedConnections& later, bool latencyFirst);
    void serveLaterLocked(QueuedConnections& later, bool latencyFirst);
    void serveQuickLocked(QueuedConnections& later);
    void closeConnectionLocked(RelayConnection& connection, RelayConnection::Outcome outcome);
    // False when the connection cannot be noted for want of memory.
    bool enterLocked(int fd, RelayConnection* connection);
    RelayConnection* connectionForLocked(uint64_t token) const;
    void checkLocked();
    void expireLocked();
    void retryDescriptorsLocked();
    void closeTunnelLocked(TunnelMap::iterator tunnel, TunnelPorts::Fate fate = TunnelPorts::Fate::Closed);
    void handOutLocked(Tunnel& tunnel, RelayClock::time_point now);
    bool canGiveBackLocked(const Tunnel& tunnel, RelayClock::time_point now);
    bool giveBackLeastRecentLocked(RelayClock::time_point now);
    bool makeRoomLocked(RelayClock::time_point now, std::string& problem);
    void giveBackIdleLocked();
    void noteIdleLocked(RelayClock::time_point due);
    void noteQueueLocked(Tunnel& tunnel);
    void cutOverdueQueuesLocked();
    void refuseQueuedLocked(Tunnel& tunnel, size_t count);

    std::mutex m_mutex;
    UniqueFd m_epoll;
    UniqueFd m_wake;
    pthread_t m_thread{};
    bool m_running = false;
    bool m_stopping = false;
    bool m_stopped = false;
    size_t m_accepted = 0;
    size_t m_live = 0;
    RelayLimits m_limits;
    bool m_limitsKnown = false;
    BufferPool m_pool;
    PipePool m_pipes;
    TunnelMap m_tunnels;
    TunnelPorts m_ports;
    // Kept open to be closed when descriptors run out: the one needed to accept and reset a connection
    // that has waited too long in a paused listener's queue.
    UniqueFd m_reserve;
    QueuedConnections m_yielded;  // stopped at their budget or with events kept, served in the next turn
    QueuedConnections m_waiting;  // accepted, waiting for a descriptor towards the target
    // The open connections by descriptor, each under both of its descriptors.
    std::vector<RelayConnection*> m_byDescriptor;
    uint32_t m_nextSerial = 0;
    bool m_short = false;  // out of descriptors: listeners paused or connections waiting
    bool m_freed = false;  // a connection closed this turn
    RelayClock::time_point m_now;
    uint64_t m_turn = 0;
    RelayClock::time_point m_nextCheck;
    RelayClock::time_point m_nextGiveBack = RelayClock::time_point::max();
};

}  // namespace kyfw

#endif
