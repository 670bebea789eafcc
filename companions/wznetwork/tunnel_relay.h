// The tunnels of the process: listening sockets on 127.0.0.1 whose connections are relayed to a target,
// one tunnel per destination, all served by one thread started on first use. A tunnel is known by its
// local port, which no other tunnel of the relay has while it lives nor within the port's quarantine
// after. Every member is safe to call from any thread.
//
// The parts: the tunnel table (tunnel_table.h) is what every thread sees of the tunnels, under a lock of
// its own; the event loop (event_loop.h) is the relay thread's; the tunnels' listeners and their
// connections (relay_connection.h) are its handlers. A thread that opens a tunnel, or asks after one,
// locks the table and nothing else; one that closes tunnels retires them in the table, wakes the relay
// thread and waits until it has closed their connections.
#ifndef WZNETWORK_TUNNEL_RELAY_H
#define WZNETWORK_TUNNEL_RELAY_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "KyFwClient.h"
#include "KyFwControl.h"
#include "buffer_pool.h"
#include "event_loop.h"
#include "fork_safe_instance.h"
#include "pipe_pool.h"
#include "relay_connection.h"
#include "socket_ops.h"
#include "tunnel_table.h"

namespace kyfw {

class TunnelRelay final : private EventLoop::Owner {
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
    // Its port refuses, and its connections are cut, by the time these return.
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
    // Calls back into the relay when it is due.
    class RelayTimer final : public EventLoop::Timer {
      public:
        RelayTimer(TunnelRelay& relay, void (TunnelRelay::*fire)()) : m_relay(relay), m_fire(fire) {}
        void onTimer() override { (m_relay.*m_fire)(); }

      private:
        TunnelRelay& m_relay;
        void (TunnelRelay::*m_fire)();
    };

    friend class ForkSafeInstance<TunnelRelay>;
    friend class Tunnel;
    friend class RelayConnection;
    TunnelRelay();
    // The relay is settled across fork(): its thread is between turns and the table unlocked, so the
    // child's copy holds no half-made change.
    void lockForFork();
    void unlockAfterFork();
    void afterForkInChild();

    // The thread's life (tunnel_relay.cpp).
    bool start(std::string& problem);
    static void* threadMain(void* relay);
    void run();
    void wakeRelay();
    // Returns once retirement number retired has been settled by the relay thread.
    void waitRetired(uint64_t retired);

    // The relay thread's turn (relay_turn.cpp).
    void onWake() override;
    bool finishTurn() override;
    void takeChanges();
    void takeUp(Tunnel& tunnel);
    void retire(Tunnel& tunnel);
    void followLimits();
    void onListenerEvents(Tunnel& tunnel, uint32_t events);
    void accept(Tunnel& tunnel);
    void pause(Tunnel& tunnel);
    void watchListener(Tunnel& tunnel, bool watched);
    void admit(Tunnel& tunnel, UniqueFd client);
    bool connect(RelayConnection& connection);
    void onConnectionEvents(RelayConnection& connection, bool targetSide, uint32_t events);
    void settle(RelayConnection& connection, RelayConnection::Outcome outcome);
    bool serveLater();
    void closeConnection(RelayConnection& connection, RelayConnection::Outcome outcome);
    void noteShortage();
    void check();
    void expire();
    void retryDescriptors();
    void giveBackIdle();
    void noteIdle(RelayClock::time_point since);
    void noteQueue(Tunnel& tunnel);
    void cutOverdueQueues();
    void refuseQueued(Tunnel& tunnel, size_t count);

    TunnelTable m_table;
    EventLoop m_loop;
    // Held while the thread starts or stops, and across fork().
    std::mutex m_lifeMutex;
    // Held by the relay thread through each turn, between its waits, and across fork().
    std::mutex m_turnMutex;
    pthread_t m_thread{};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopping{false};
    bool m_stopped = false;
    std::atomic<size_t> m_accepted{0};
    std::atomic<size_t> m_live{0};

    // The relay thread's.
    RelayLimits m_limits;
    uint64_t m_limitsVersion = ~uint64_t{0};  // none followed yet
    BufferPool m_pool;
    PipePool m_pipes;
    TunnelList m_served;
    // Kept open to be closed when descriptors run out: the one needed to accept and reset a connection
    // that has waited too long in a paused listener's queue.
    UniqueFd m_reserve;
    QueuedConnections m_yielded;   // stopped at their budget or with events kept, served at the turn's end
    QueuedConnections m_deferred;  // bulk connections whose events of this turn wait for the quick ones
    QueuedConnections m_waiting;   // accepted, waiting for a descriptor towards the target
    bool m_short = false;          // out of descriptors: listeners paused or connections waiting
    bool m_freed = false;          // a connection closed this turn
    RelayTimer m_checkTimer{*this, &TunnelRelay::check};
    RelayTimer m_giveBackTimer{*this, &TunnelRelay::giveBackIdle};
};

}  // namespace kyfw

#endif
