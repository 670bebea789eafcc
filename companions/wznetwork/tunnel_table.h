// The relay's tunnels as every thread sees them, by local port: their destinations, their life (handed
// out, idle, given back), and the ports' quarantine. One short lock guards the table; nothing done under
// it waits for I/O. A tunnel leaves the table at once when it is closed or given back (its listener is
// shut down, so its port refuses from that moment) and is retired: the relay thread then closes its
// connections and its listener, and frees it.
#ifndef WZNETWORK_TUNNEL_TABLE_H
#define WZNETWORK_TUNNEL_TABLE_H

#include <boost/intrusive/list.hpp>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KyFwClient.h"
#include "KyFwControl.h"
#include "event_loop.h"
#include "relay_connection.h"
#include "socket_ops.h"
#include "tunnel_ports.h"

namespace kyfw {

class TunnelRelay;

// One tunnel. The destination, the listener's descriptor and the relay are fixed at its opening; the
// fields of its life are the table's, read and written under the table's lock; its connections and the
// note of its listener's queue are the relay thread's alone.
class Tunnel final : public EventLoop::Handler {
  public:
    Tunnel(TunnelRelay& relay, int localPort, std::string host, std::string targetAddress, int port,
           const SocketAddress& target, UniqueFd listener);
    // Host names compare without regard to case: callers pass the client table's form of the host.
    bool leadsTo(const std::string& toHost, const std::string& toTarget, int toPort) const {
        return port == toPort && host == toHost && targetAddress == toTarget;
    }
    // Its listener's events, served by the relay.
    void onEvents(int fd, uint32_t events) override;

    TunnelRelay& relay;
    const int localPort;
    const std::string host;
    const std::string targetAddress;
    const int port;
    const SocketAddress target;
    UniqueFd listener;

    // The table's.
    RelayClock::time_point lastUse;  // last hand-out of its port, accept or end of a connection
    bool awaitingClient = false;     // its port was handed out and no connection came since
    RelayClock::time_point handedOutAt;
    size_t connectionCount = 0;
    bool paused = false;  // not watched until descriptors free up

    // The relay thread's.
    OwnedConnections connections;
    bool watched = false;  // in the relay's event loop
    // While paused: the connections in the listener's queue when it was last looked at, and when.
    bool queueNoted = false;
    size_t queuedAtNote = 0;
    RelayClock::time_point queueNotedAt;

    // In the relay thread's list of the tunnels it serves, or in the table's list of tunnels it has yet
    // to take up.
    RelayHook m_servedHook;
    // In the table's list of retired tunnels.
    RelayHook m_retiredHook;
};

using TunnelList =
    boost::intrusive::list<Tunnel, boost::intrusive::member_hook<Tunnel, RelayHook, &Tunnel::m_servedHook>,
                           boost::intrusive::constant_time_size<false>>;
using RetiredTunnels =
    boost::intrusive::list<Tunnel, boost::intrusive::member_hook<Tunnel, RelayHook, &Tunnel::m_retiredHook>,
                           boost::intrusive::constant_time_size<false>>;

class TunnelTable {
  public:
    using Clock = RelayClock;

    // What became of a request for a tunnel.
    struct Opening {
        int localPort = 0;  // 0: none, the reason in problem
        // No descriptor was left, and an idle tunnel was given back for one: once the relay thread has
        // settled retirement number retired, its descriptor is free and opening is worth trying again.
        uint64_t retired = 0;
    };

    // The port of the live tunnel for host:port relayed to target, handed out anew; 0 when there is none.
    int handOut(const std::string& host, const std::string& target, int port);
    // Opens a tunnel for host:port relayed to target, unless one was opened meanwhile. At the cap on
    // tunnels the least recently used idle one is given back first. A new tunnel waits to be taken up
    // by the relay thread (takeChanges).
    Opening open(TunnelRelay& relay, const std::string& host, const std::string& target, int port,
                 const SocketAddress& address, bool mayGiveBack, std::string& problem);
    KyFwTunnelStateCode state(int localPort, const std::string& host, const std::string& target, int port);
    // Retires the tunnel at localPort, or every tunnel; the number of the last retirement, 0 when none.
    uint64_t close(int localPort);
    uint64_t closeAll();
    // Refuses tunnels from now on and retires every one.
    uint64_t closeForGood();

    size_t count();
    std::vector<TunnelInfo> list();

    RelayLimits limits();
    void setLimits(const RelayLimits& limits);
    // The environment is read again when the limits are next needed.
    void resetLimits();
    // With the number of the last setLimits or resetLimits.
    RelayLimits limits(uint64_t& version);

    // For the relay thread, or for the thread that stands in for it while it does not run: the tunnels
    // opened and those retired since the last call, and the number of the last retirement. Taken together,
    // so that every retired tunnel is then in a list of the caller's.
    void takeChanges(TunnelList& opened, RetiredTunnels& retired, uint64_t& upTo);
    // The retirements up to upTo are settled: their descriptors are closed.
    void noteSettled(uint64_t upTo);
    // Waits until retirement number retired is settled; false at once when no thread settles them.
    bool waitSettled(uint64_t retired);
    // Whether a thread settles retirements; while none does, waitSettled returns false.
    void setSettler(bool present);

    // The relay thread's news of a tunnel it serves: a connection was admitted through it, or one ended.
    void noteAdmitted(Tunnel& tunnel, Clock::time_point now);
    // True when the tunnel has no connection left.
    bool noteEnded(Tunnel& tunnel, Clock::time_point now);
    void notePaused(Tunnel& tunnel, bool paused);
    // Its listener failed: retired unless already gone.
    void closeFailed(Tunnel& tunnel);
    // Gives back the tunnels idle for their time-out; the time at which the next one will be, or max.
    Clock::time_point giveBackIdle(Clock::time_point now);

    void lockForFork() { m_mutex.lock(); }
    void unlockAfterFork() { m_mutex.unlock(); }
    // In a forked child: the parent's tunnels are not this process's; every descriptor is a copy, closed
    // plainly. Leaves the table unlocked.
    void forgetAfterFork();

  private:
    using Tunnels = std::map<int, std::unique_ptr<Tunnel>>;

    const RelayLimits& limitsLocked();
    void handOutLocked(Tunnel& tunnel, Clock::time_point now);
    bool canGiveBackLocked(const Tunnel& tunnel, Clock::time_point now);
    uint64_t giveBackLeastRecentLocked(Clock::time_point now);
    bool makeRoomLocked(Clock::time_point now, std::string& problem);
    uint64_t retireLocked(Tunnels::iterator tunnel, TunnelPorts::Fate fate, Clock::time_point now);

    std::mutex m_mutex;
    std::condition_variable m_settledChanged;
    Tunnels m_tunnels;
    TunnelPorts m_ports;
    RelayLimits m_limits;
    bool m_limitsKnown = false;
    uint64_t m_limitsVersion = 0;
    bool m_closedForGood = false;
    TunnelList m_new;
    RetiredTunnels m_retired;
    uint64_t m_retirements = 0;
    uint64_t m_settled = 0;
    bool m_settler = false;
};

}  // namespace kyfw

#endif
