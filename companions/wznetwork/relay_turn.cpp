// The relay thread's turn: the event loop hands it the events of its tunnels' listeners and of their
// connections; at the turn's end the bulk flows and the flows that stopped at their budget move on, and
// its timers close connections past their time-outs, retry what waited for descriptors and give back
// tunnels that have been idle too long. Tunnels opened and retired by other threads are taken up and
// settled when they wake it.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "relay_limits.h"
#include "tunnel_relay.h"

namespace kyfw {
namespace {

// Connections one listener accepts in a turn before the others have theirs.
constexpr int kAcceptsPerTurn = 32;
// How often a relay short of descriptors tries again when none were freed by its own connections.
constexpr auto kRetryInterval = std::chrono::milliseconds(20);
// Time-outs are checked at a tenth of the shortest, within these bounds.
constexpr auto kShortestCheck = std::chrono::milliseconds(10);
constexpr auto kLongestCheck = std::chrono::milliseconds(1000);

// Level-triggered: a listener left with connections in its queue, after its share of a turn or while
// descriptors were short, is reported again.
constexpr uint32_t kListenerEvents = EPOLLIN;
// Edge-triggered: each readiness is acted on until the socket would block or the flow's budget is spent.
// A peer's hang-up is reported with the readiness it comes with, so a flow knows when a short read may
// hide its end.
constexpr uint32_t kConnectionEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

// Failures of one pending connection that accept() passes on; the listener itself is fine.
bool isConnectionError(int error) {
    switch (error) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENETUNREACH:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENONET:
        case ENOPROTOOPT:
        case EOPNOTSUPP:
            return true;
        default:
            return false;
    }
}

std::chrono::milliseconds checkInterval(const RelayLimits& limits, bool shortOfDescriptors) {
    if (shortOfDescriptors) return kRetryInterval;
    long shortest = 0;
    for (long timeout : {limits.connectTimeoutMs, limits.idleTimeoutMs}) {
        if (timeout > 0 && (shortest == 0 || timeout < shortest)) shortest = timeout;
    }
    if (shortest == 0) return kLongestCheck;
    return std::clamp(std::chrono::milliseconds(shortest / 10), std::chrono::milliseconds(kShortestCheck),
                      std::chrono::milliseconds(kLongestCheck));
}

bool pastLimit(RelayClock::time_point since, RelayClock::time_point now, long limitMs) {
    return limitMs > 0 && now - since >= std::chrono::milliseconds(limitMs);
}

}  // namespace

void Tunnel::onEvents(int, uint32_t events) { relay.onListenerEvents(*this, events); }

void RelayConnection::onEvents(int fd, uint32_t events) {
    m_tunnel.relay.onConnectionEvents(*this, fd == targetFd(), events);
}

void TunnelRelay::onWake() {
    followLimits();
    takeChanges();
    // Connections closed by another thread freed descriptors.
    m_freed = true;
}

// The bulk connections and those that yielded move on after the turn's events, one share each, so that
// a connection that has just become ready never waits behind more than one share of each. With latency
// first, one share per turn: the quick flows that became ready meanwhile are served before the next.
bool TunnelRelay::finishTurn() {
    bool workLeft = serveLater();
    if (m_short && m_freed) retryDescriptors();
    m_freed = false;
    return workLeft;
}

// Retired tunnels first: each is then in a list of this thread's, the new ones' or those it serves.
void TunnelRelay::takeChanges() {
    for (;;) {
        TunnelList opened;
        RetiredTunnels retired;
        uint64_t upTo = 0;
        m_table.takeChanges(opened, retired, upTo);
        const bool none = opened.empty() && retired.empty();
        retired.clear_and_dispose([this](Tunnel* tunnel) { retire(*tunnel); });
        while (!opened.empty()) {
            Tunnel& tunnel = opened.front();
            opened.pop_front();
            takeUp(tunnel);
        }
        m_table.noteSettled(upTo);
        if (none) return;
    }
}

// A tunnel whose listener cannot be watched is closed: the next set-up for its destination opens another.
void TunnelRelay::takeUp(Tunnel& tunnel) {
    m_served.push_back(tunnel);
    tunnel.watched = m_loop.watch(tunnel.listener.get(), kListenerEvents, tunnel);
    if (!tunnel.watched) {
        m_table.closeFailed(tunnel);
        return;
    }
    noteIdle(m_loop.now());
}

// Freed at once: events that still name its listener or its connections are dropped by the loop.
void TunnelRelay::retire(Tunnel& tunnel) {
    tunnel.m_servedHook.unlink();
    while (!tunnel.connections.empty())
        closeConnection(tunnel.connections.front(), RelayConnection::Outcome::Failed);
    if (tunnel.watched) m_loop.unwatch(tunnel.listener.get());
    delete &tunnel;
}

void TunnelRelay::followLimits() {
    uint64_t version = 0;
    RelayLimits limits = m_table.limits(version);
    if (version == m_limitsVersion) return;
    m_limits = limits;
    m_limitsVersion = version;
    // The next check and give-back follow the new time-outs.
    m_loop.arm(m_checkTimer, m_loop.now());
    m_loop.arm(m_giveBackTimer, m_loop.now());
}

void TunnelRelay::onListenerEvents(Tunnel& tunnel, uint32_t events) {
    if (!tunnel.paused) {
        accept(tunnel);
        return;
    }
    // Reported even while paused, and again on every wait: the listener failed.
    if (events & (EPOLLERR | EPOLLHUP)) {
        m_table.closeFailed(tunnel);
        takeChanges();
    }
}

void TunnelRelay::accept(Tunnel& tunnel) {
    for (int accepted = 0; accepted < kAcceptsPerTurn;) {
        // A connection already waits for a descriptor: more would only hold descriptors it needs.
        if (!m_waiting.empty()) {
            pause(tunnel);
            return;
        }
        int fd = accept4(tunnel.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            ++accepted;
            ++m_accepted;
            if (tunnel.queuedAtNote > 0) --tunnel.queuedAtNote;
            admit(tunnel, UniqueFd(fd));
            continue;
        }
        if (wouldBlock(errno)) {
            tunnel.queueNoted = false;  // the queue is empty: no connection has waited in it
            return;
        }
        if (isConnectionError(errno)) continue;
        if (isDescriptorShortage(errno)) {
            pause(tunnel);
            return;
        }
        // The listener itself failed, or was shut down by its retirement: closed, so that the next set-up
        // for its destination opens a new one.
        m_table.closeFailed(tunnel);
        takeChanges();
        return;
    }
}

// The queued connections stay in the listener's queue until descriptors free up.
void TunnelRelay::pause(Tunnel& tunnel) {
    watchListener(tunnel, false);
    noteShortage();
    if (!tunnel.queueNoted) noteQueue(tunnel);
}

// A paused listener stays in the set without events: its failure is still reported.
void TunnelRelay::watchListener(Tunnel& tunnel, bool watched) {
    m_loop.change(tunnel.listener.get(), watched ? kListenerEvents : 0);
    m_table.notePaused(tunnel, !watched);
}

void TunnelRelay::admit(Tunnel& tunnel, UniqueFd client) {
    long most = m_limits.maxConnections;
    if (most > 0 && m_live >= static_cast<size_t>(most)) {
        client.abort();
        return;
    }
    PipePool* pipes = m_limits.splice != 0 ? &m_pipes : nullptr;
    auto* connection = new (std::nothrow) RelayConnection(tunnel, m_pool, pipes, m_loop.now());
    if (!connection) {
        client.abort();
        return;
    }
    connection->adoptClient(std::move(client));
    if (!m_loop.watch(connection->clientFd(), kConnectionEvents, *connection)) {
        connection->close(RelayConnection::Outcome::Failed);
        delete connection;
        return;
    }
    tunnel.connections.push_back(*connection);
    m_table.noteAdmitted(tunnel, m_loop.now());
    ++m_live;
    m_loop.armBy(m_checkTimer, m_loop.now() + checkInterval(m_limits, m_short));
    // First come, first served: behind those already waiting for a descriptor.
    if (!m_waiting.empty() || !connect(*connection)) m_waiting.push_back(*connection);
}

// False when no descriptor could be had for the target; the connection is then left for the caller to
// queue.
bool TunnelRelay::connect(RelayConnection& connection) {
    switch (connection.connectTarget(connection.tunnel().target)) {
        case RelayConnection::Connect::NoDescriptor:
            noteShortage();
            return false;
        case RelayConnection::Connect::Failed:
            closeConnection(connection, RelayConnection::Outcome::Failed);
            return true;
        case RelayConnection::Connect::Started:
        case RelayConnection::Connect::Connected:
            break;
    }
    if (!m_loop.watch(connection.targetFd(), kConnectionEvents, connection)) {
        closeConnection(connection, RelayConnection::Outcome::Failed);
        return true;
    }
    if (connection.connected()) settle(connection, connection.relay());
    return true;
}

// With latency first, a bulk connection's events are kept in it until the quick flows of the turn have
// been served; one that had its share in this turn already keeps them for the next.
void TunnelRelay::onConnectionEvents(RelayConnection& connection, bool targetSide, uint32_t events) {
    if (m_limits.latencyFirst != 0 && connection.bulk()) {
        connection.deferEvents(targetSide, events);
        QueuedConnections& queue = connection.servedIn(m_loop.turn()) ? m_yielded : m_deferred;
        if (!connection.m_queueHook.is_linked()) queue.push_back(connection);
        return;
    }
    connection.touch(m_loop.now(), m_loop.turn());
    settle(connection, connection.handle(targetSide, events));
}

void TunnelRelay::settle(RelayConnection& connection, RelayConnection::Outcome outcome) {
    if (outcome != RelayConnection::Outcome::Open) {
        closeConnection(connection, outcome);
        return;
    }
    bool waits = connection.yielded() || connection.hasDeferred();
    if (waits && !connection.m_queueHook.is_linked()) m_yielded.push_back(connection);
}

// The connections that yielded before this turn's events, then those whose events were kept; true when
// some are left for the next turn.
bool TunnelRelay::serveLater() {
    QueuedConnections later;
    later.swap(m_yielded);
    later.splice(later.end(), m_deferred);
    const bool oneShare = m_limits.latencyFirst != 0;
    bool served = false;
    while (!later.empty() && !(oneShare && served)) {
        RelayConnection& connection = later.front();
        later.pop_front();
        // An event of this turn has already given it its share; it waits for the next turn.
        if (connection.servedIn(m_loop.turn())) {
            settle(connection, RelayConnection::Outcome::Open);
            continue;
        }
        connection.touch(m_loop.now(), m_loop.turn());
        settle(connection, connection.serveDeferred());
        served = true;
    }
    // Those not served yet go first in the next turn.
    later.splice(later.end(), m_yielded);
    m_yielded.swap(later);
    return !m_yielded.empty();
}

// Freed at once: events that still name its descriptors are dropped by the loop.
void TunnelRelay::closeConnection(RelayConnection& connection, RelayConnection::Outcome outcome) {
    m_loop.unwatch(connection.clientFd());
    m_loop.unwatch(connection.targetFd());
    Tunnel& tunnel = connection.tunnel();
    connection.close(outcome);
    delete &connection;  // leaves its tunnel's list and any queue on the way
    --m_live;
    m_freed = true;
    if (m_table.noteEnded(tunnel, m_loop.now())) noteIdle(m_loop.now());
}

void TunnelRelay::noteShortage() {
    m_short = true;
    m_pipes.trim(0);
    m_loop.armBy(m_checkTimer, m_loop.now() + kRetryInterval);
}

void TunnelRelay::check() {
    expire();
    if (m_short) cutOverdueQueues();
    if (m_short) retryDescriptors();
    if (m_live > 0 || m_short) m_loop.arm(m_checkTimer, m_loop.now() + checkInterval(m_limits, m_short));
}

void TunnelRelay::expire() {
    for (Tunnel& tunnel : m_served) {
        OwnedConnections& connections = tunnel.connections;
        for (auto it = connections.begin(); it != connections.end();) {
            RelayConnection& connection = *it++;
            bool expired = connection.connected()
                               ? pastLimit(connection.activeAt(), m_loop.now(), m_limits.idleTimeoutMs)
                               : pastLimit(connection.createdAt(), m_loop.now(), m_limits.connectTimeoutMs);
            if (expired) closeConnection(connection, RelayConnection::Outcome::Failed);
        }
    }
}

// Connections waiting for a descriptor go first, in the order they came; then the paused listeners are
// watched again, and report the connections queued meanwhile.
void TunnelRelay::retryDescriptors() {
    while (!m_waiting.empty()) {
        RelayConnection& connection = m_waiting.front();
        m_waiting.pop_front();
        if (!connect(connection)) {
            m_waiting.push_front(connection);
            return;
        }
    }
    for (Tunnel& tunnel : m_served) {
        if (tunnel.paused) watchListener(tunnel, true);
    }
    m_short = false;
}

void TunnelRelay::giveBackIdle() {
    RelayClock::time_point next = m_table.giveBackIdle(m_loop.now());
    takeChanges();
    m_loop.armBy(m_giveBackTimer, next);
}

// A tunnel became idle at since: it is looked at again when its idle time-out has passed.
void TunnelRelay::noteIdle(RelayClock::time_point since) {
    long idleMs = m_limits.tunnelIdleMs;
    if (idleMs > 0) m_loop.armBy(m_giveBackTimer, since + std::chrono::milliseconds(idleMs));
}

void TunnelRelay::noteQueue(Tunnel& tunnel) {
    tunnel.queueNoted = true;
    tunnel.queuedAtNote = acceptQueueLength(tunnel.listener.get());
    tunnel.queueNotedAt = m_loop.now();
}

// The connections that were already queued at a paused listener one connect time-out ago have waited
// that long at least: they are reset rather than left waiting for descriptors that may never free up.
void TunnelRelay::cutOverdueQueues() {
    long timeoutMs = m_limits.connectTimeoutMs;
    if (timeoutMs <= 0) return;
    for (Tunnel& tunnel : m_served) {
        if (!tunnel.paused || !tunnel.queueNoted || !pastLimit(tunnel.queueNotedAt, m_loop.now(), timeoutMs))
            continue;
        refuseQueued(tunnel, tunnel.queuedAtNote);
        noteQueue(tunnel);
    }
}

// accept() needs a descriptor even to reset a connection: the reserve is closed for the time it takes.
// Connections leave the queue in the order they came.
void TunnelRelay::refuseQueued(Tunnel& tunnel, size_t count) {
    if (count == 0) return;
    m_reserve.reset();
    for (size_t i = 0; i < count; ++i) {
        UniqueFd refused(accept4(tunnel.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!refused) break;
        refused.abort();
    }
    m_reserve.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
}

}  // namespace kyfw
