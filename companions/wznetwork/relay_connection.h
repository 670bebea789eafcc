// One connection accepted by a tunnel and its connection to the tunnel's target, relayed both ways.
#ifndef WZNETWORK_RELAY_CONNECTION_H
#define WZNETWORK_RELAY_CONNECTION_H

#include <cstdint>

#include "relay_flow.h"
#include "socket_ops.h"

namespace kyfw {

class RelayConnection {
  public:
    enum class Outcome { Open, Done };

    // target is connecting unless connected is set.
    RelayConnection(uint64_t tunnelId, UniqueFd client, UniqueFd target, bool connected);

    uint64_t tunnelId() const { return m_tunnelId; }
    int clientFd() const { return m_client.get(); }
    int targetFd() const { return m_target.get(); }

    // Handles epoll events of one side. Done: both sockets are closed, in order when both sides ended,
    // with a reset when one side reset or the target could not be reached.
    Outcome onEvents(bool targetSide, uint32_t events);
    // Moves what can be moved; for a connection that was connected at once.
    Outcome relay();
    // Cuts both sides with a reset.
    void abort();

  private:
    Outcome cut();
    // Pumps one flow in its direction and remembers whether it has finished.
    RelayFlow::State pumpFlow(RelayFlow& flow);
    // Done, with both sockets closed in order, once both flows have finished.
    Outcome finishIfDone();

    uint64_t m_tunnelId;
    UniqueFd m_client;
    UniqueFd m_target;
    bool m_connected;
    RelayFlow m_toTarget;
    RelayFlow m_toClient;
    bool m_upFinished = false;
    bool m_downFinished = false;
};

}  // namespace kyfw

#endif
