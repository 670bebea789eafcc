// One connection accepted by a tunnel and its connection to the tunnel's target, relayed both ways.
#ifndef WZNETWORK_RELAY_CONNECTION_H
#define WZNETWORK_RELAY_CONNECTION_H

#include <boost/intrusive/list.hpp>
#include <chrono>
#include <cstdint>

#include "buffer_pool.h"
#include "event_loop.h"
#include "relay_flow.h"
#include "socket_ops.h"

namespace kyfw {

using RelayClock = std::chrono::steady_clock;
// Unlinks itself from whichever list holds it, so a connection leaves its lists by one call.
using RelayHook =
    boost::intrusive::list_member_hook<boost::intrusive::link_mode<boost::intrusive::auto_unlink>>;

class Tunnel;

// Its two descriptors are watched with the connection as their handler; it passes their events to its
// tunnel's relay.
class RelayConnection final : public EventLoop::Handler {
  public:
    // Finished: both flows ended, to be closed in order. Failed: to be cut with a reset.
    enum class Outcome { Open, Finished, Failed };
    enum class Connect { Started, Connected, NoDescriptor, Failed };

    // pipes: null when every byte is to be copied.
    RelayConnection(Tunnel& tunnel, BufferPool& pool, PipePool* pipes, RelayClock::time_point now);

    // Takes the accepted socket; done once the connection's memory was had, so a failed allocation leaves
    // the socket with the caller.
    void adoptClient(UniqueFd client) { m_client = std::move(client); }

    Tunnel& tunnel() const { return m_tunnel; }
    int clientFd() const { return m_client.get(); }
    int targetFd() const { return m_target.get(); }
    bool connected() const { return m_connected; }
    RelayClock::time_point createdAt() const { return m_createdAt; }
    RelayClock::time_point activeAt() const { return m_activeAt; }
    // Noted with the relay's turn number whenever the connection is served.
    void touch(RelayClock::time_point now, uint64_t turn) {
        m_activeAt = now;
        m_servedTurn = turn;
    }
    bool servedIn(uint64_t turn) const { return m_servedTurn == turn; }

    // Opens the socket towards the target and starts connecting. NoDescriptor: the process is out of
    // descriptors, try again later.
    Connect connectTarget(const SocketAddress& target);
    void onEvents(int fd, uint32_t events) override;
    // Handles epoll events of one side.
    Outcome handle(bool targetSide, uint32_t events);
    // Moves what can be moved both ways; for a connection that was connected at once.
    Outcome relay();
    // Moves on the flows that stopped at their budget in the last turn.
    Outcome resume();
    bool yielded() const { return m_toTarget.yielded() || m_toClient.yielded(); }
    bool bulk() const { return m_toTarget.bulk() || m_toClient.bulk(); }
    // Keeps events of one side for later, for a bulk connection that is served after the others.
    void deferEvents(bool targetSide, uint32_t events) {
        (targetSide ? m_targetEvents : m_clientEvents) |= events;
    }
    bool hasDeferred() const { return (m_clientEvents | m_targetEvents) != 0; }
    // Handles the events kept for later, or, when there are none, moves on the flows that yielded.
    Outcome serveDeferred();
    // Closes both sockets: in order after Finished, with a reset otherwise.
    void close(Outcome outcome);

    RelayHook m_ownerHook;  // in its tunnel's list
    RelayHook m_queueHook;  // in the queue of flows to move on, or of connections waiting for a descriptor

  private:
    // Pumps one flow in its direction and remembers whether it has finished.
    RelayFlow::State pumpFlow(RelayFlow& flow);
    Outcome pumpFlows(bool up, bool down);
    Outcome finishedOrOpen() const;

    Tunnel& m_tunnel;
    UniqueFd m_client;
    UniqueFd m_target;
    bool m_connected = false;
    RelayClock::time_point m_createdAt;
    RelayClock::time_point m_activeAt;
    uint64_t m_servedTurn = 0;
    RelayFlow m_toTarget;
    RelayFlow m_toClient;
    bool m_upFinished = false;
    bool m_downFinished = false;
    uint32_t m_clientEvents = 0;
    uint32_t m_targetEvents = 0;
};

template <RelayHook RelayConnection::*hook>
using RelayConnectionList =
    boost::intrusive::list<RelayConnection, boost::intrusive::member_hook<RelayConnection, RelayHook, hook>,
                           boost::intrusive::constant_time_size<false>>;
using OwnedConnections = RelayConnectionList<&RelayConnection::m_ownerHook>;
using QueuedConnections = RelayConnectionList<&RelayConnection::m_queueHook>;

}  // namespace kyfw

#endif
