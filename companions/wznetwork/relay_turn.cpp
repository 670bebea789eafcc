// The relay thread: each turn serves the events of one epoll_wait, quick flows first, then the bulk ones
// and the flows that stopped at their budget in the turn before, and now and then closes connections past
// their time-outs, retries what waited for descriptors and gives back tunnels that have been idle too long.
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "no_throw.h"
#include "relay_limits.h"
#include "relay_tokens.h"
#include "tunnel_relay.h"

namespace kyfw {
namespace {

constexpr int kEventsPerWait = 64;
// Connections one listener accepts in a turn before the others have theirs.
constexpr int kAcceptsPerTurn = 32;
// How often a relay short of descriptors tries again when none were freed by its own connections.
constexpr auto kRetryInterval = std::chrono::milliseconds(20);
// Time-outs are checked at a tenth of the shortest, within these bounds.
constexpr auto kShortestCheck = std::chrono::milliseconds(10);
constexpr auto kLongestCheck = std::chrono::milliseconds(1000);
// How long a port just handed out is kept for the client it was handed to when the connect time-out is
// off.
constexpr auto kHandOutGrace = std::chrono::milliseconds(10000);

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

void* TunnelRelay::threadMain(void* relay) {
    static_cast<TunnelRelay*>(relay)->run();
    return nullptr;
}

void TunnelRelay::run() {
    blockSigpipe();
    pthread_setname_np(pthread_self(), "kyfw-relay");
    // m_epoll is set before this thread starts and closed only after it has been joined.
    int epoll = m_epoll.get();
    epoll_event events[kEventsPerWait];
    // A first turn at once settles the deadlines noted before the thread ran.
    int timeout = 0;
    for (;;) {
        int count = epoll_wait(epoll, events, kEventsPerWait, timeout);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        // What a turn could not do for want of memory is left for the next: the thread lives on.
        UnlessOutOfMemory(false, [&] {
            turnLocked(events, std::max(count, 0));
            return true;
        });
        timeout = waitTimeoutLocked();
    }
}

void TunnelRelay::turnLocked(const epoll_event* events, int count) {
    m_now = RelayClock::now();
    ++m_turn;
    // The flows that stopped at their budget in the last turn move on after this turn's events, so that
    // a connection that has just become ready never waits behind more than one share of each; with
    // latency first, bulk connections wait with them.
    QueuedConnections later;
    later.swap(m_yielded);
    // As last known: every turn reading the environment again after a reset would be a waste.
    const bool latencyFirst = m_limits.latencyFirst != 0;
    for (int i = 0; i < count; ++i) takeEventLocked(events[i], later, latencyFirst);
    serveLaterLocked(later, latencyFirst);
    if (m_now >= m_nextCheck) checkLocked();
    if (m_now >= m_nextGiveBack) giveBackIdleLocked();
    if (m_short && m_freed) retryDescriptorsLocked();
    m_freed = false;
}

int TunnelRelay::waitTimeoutLocked() const {
    if (!m_yielded.empty()) return 0;
    RelayClock::time_point deadline = m_nextGiveBack;
    if (m_live > 0 || m_short) deadline = std::min(deadline, m_nextCheck);
    if (deadline == RelayClock::time_point::max()) return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - RelayClock::now());
    // A wait beyond the longest time-out ends early and is taken up again: it fits an int of milliseconds.
    return static_cast<int>(std::clamp<long>(wait.count(), 0, kLongestTimeoutMs));
}

bool TunnelRelay::watchLocked(int fd, uint32_t events, uint64_t token) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    return epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

// Before every close: a copy of the descriptor in a forked child would otherwise keep it in the set.
void TunnelRelay::unwatchLocked(int fd) {
    if (fd >= 0) epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
}

void TunnelRelay::dispatchLocked(const epoll_event& event) {
    uint64_t token = event.data.u64;
    switch (tokenKind(token)) {
        case kWake:
            drainWakeLocked();
            return;
        case kListener: {
            auto tunnel = m_tunnels.find(tokenTunnel(token));
            if (tunnel == m_tunnels.end()) return;
            if (!tunnel->second.paused) {
                acceptLocked(tunnel->first, tunnel->second);
            } else if (event.events & (EPOLLERR | EPOLLHUP)) {
                // Reported even while paused, and again on every wait: the listener failed.
                closeTunnelLocked(tunnel);
            }
            return;
        }
        case kClient:
        case kTarget: {
            RelayConnection* connection = connectionForLocked(token);
            if (connection) serveLocked(*connection, tokenKind(token) == kTarget, event.events);
            return;
        }
    }
}

void TunnelRelay::drainWakeLocked() {
    uint64_t count;
    while (read(m_wake.get(), &count, sizeof count) > 0) {
    }
    // Connections closed by another thread freed descriptors.
    m_freed = true;
}

void TunnelRelay::acceptLocked(uint64_t tunnelId, Tunnel& tunnel) {
    for (int accepted = 0; accepted < kAcceptsPerTurn;) {
        // A connection already waits for a descriptor: more would only hold descriptors it needs.
        if (!m_waiting.empty()) {
            pauseLocked(tunnelId, tunnel);
            return;
        }
        int fd = accept4(tunnel.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            ++accepted;
            ++m_accepted;
            if (tunnel.queuedAtNote > 0) --tunnel.queuedAtNote;
            admitLocked(tunnelId, tunnel, UniqueFd(fd));
            continue;
        }
        if (wouldBlock(errno)) {
            tunnel.queueNoted = false;  // the queue is empty: no connection has waited in it
            return;
        }
        if (isConnectionError(errno)) continue;
        if (isDescriptorShortage(errno)) {
            pauseLocked(tunnelId, tunnel);
            return;
        }
        // The listener itself failed: closed, so that the next set-up for its destination opens a new one.
        closeTunnelLocked(m_tunnels.find(tunnelId));
        return;
    }
}

// The queued connections stay in the listener's queue until descriptors free up.
void TunnelRelay::pauseLocked(uint64_t tunnelId, Tunnel& tunnel) {
    watchListenerLocked(tunnelId, tunnel, false);
    m_short = true;
    m_pipes.trim(0);
    if (!tunnel.queueNoted) noteQueueLocked(tunnel);
}

// A paused listener stays in the set without events: it keeps its token, and its failure is still reported.
void TunnelRelay::watchListenerLocked(uint64_t tunnelId, Tunnel& tunnel, bool watched) {
    epoll_event event{};
    event.events = watched ? kListenerEvents : 0;
    event.data.u64 = listenerToken(tunnelId);
    epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, tunnel.listener.get(), &event);
    tunnel.paused = !watched;
}

void TunnelRelay::admitLocked(uint64_t tunnelId, Tunnel& tunnel, UniqueFd client) {
    long most = limitsLocked().maxConnections;
    if (most > 0 && m_live >= static_cast<size_t>(most)) {
        client.abort();
        return;
    }
    PipePool* pipes = limitsLocked().splice != 0 ? &m_pipes : nullptr;
    auto* connection = new (std::nothrow) RelayConnection(tunnelId, m_nextSerial++, m_pool, pipes, m_now);
    if (!connection) {
        client.abort();
        return;
    }
    connection->adoptClient(std::move(client));
    uint64_t token = connectionToken(connection->serial(), connection->clientFd(), kClient);
    if (!watchLocked(connection->clientFd(), kConnectionEvents, token)) {
        connection->close(RelayConnection::Outcome::Failed);
        delete connection;
        return;
    }
    if (!enterLocked(connection->clientFd(), connection)) {
        connection->close(RelayConnection::Outcome::Failed);
        delete connection;
        return;
    }
    tunnel.connections.push_back(*connection);
    tunnel.lastUse = m_now;
    tunnel.awaitingClient = false;
    ++m_live;
    // First come, first served: behind those already waiting for a descriptor.
    if (!m_waiting.empty() || !connectLocked(*connection, tunnel.target)) m_waiting.push_back(*connection);
}

// False when no descriptor could be had for the target; the connection is then left for the caller to
// queue.
bool TunnelRelay::connectLocked(RelayConnection& connection, const SocketAddress& target) {
    switch (connection.connectTarget(target)) {
        case RelayConnection::Connect::NoDescriptor:
            m_short = true;
            m_pipes.trim(0);
            return false;
        case RelayConnection::Connect::Failed:
            closeConnectionLocked(connection, RelayConnection::Outcome::Failed);
            return true;
        case RelayConnection::Connect::Started:
        case RelayConnection::Connect::Connected:
            break;
    }
    uint64_t token = connectionToken(connection.serial(), connection.targetFd(), kTarget);
    if (!watchLocked(connection.targetFd(), kConnectionEvents, token)) {
        closeConnectionLocked(connection, RelayConnection::Outcome::Failed);
        return true;
    }
    if (!enterLocked(connection.targetFd(), &connection)) {
        closeConnectionLocked(connection, RelayConnection::Outcome::Failed);
        return true;
    }
    if (connection.connected()) settleLocked(connection, connection.relay());
    return true;
}

void TunnelRelay::serveLocked(RelayConnection& connection, bool targetSide, uint32_t events) {
    connection.touch(m_now, m_turn);
    settleLocked(connection, connection.onEvents(targetSide, events));
}

void TunnelRelay::settleLocked(RelayConnection& connection, RelayConnection::Outcome outcome) {
    if (outcome != RelayConnection::Outcome::Open) {
        closeConnectionLocked(connection, outcome);
        return;
    }
    bool waits = connection.yielded() || connection.hasDeferred();
    if (waits && !connection.m_queueHook.is_linked()) m_yielded.push_back(connection);
}

// A bulk connection's events are kept in it until the quick flows of the turn have been served; one that
// had its share in this turn already keeps them for the next.
void TunnelRelay::takeEventLocked(const epoll_event& event, QueuedConnections& later, bool latencyFirst) {
    TokenKind kind = tokenKind(event.data.u64);
    if (latencyFirst && (kind == kClient || kind == kTarget)) {
        RelayConnection* connection = connectionForLocked(event.data.u64);
        if (connection && connection->bulk()) {
            connection->deferEvents(kind == kTarget, event.events);
            QueuedConnections& queue = connection->servedIn(m_turn) ? m_yielded : later;
            if (!connection->m_queueHook.is_linked()) queue.push_back(*connection);
            return;
        }
    }
    dispatchLocked(event);
}

// One share for each connection in turn; with latency first, the quick flows that became ready during a
// share are served before the next.
void TunnelRelay::serveLaterLocked(QueuedConnections& later, bool latencyFirst) {
    while (!later.empty()) {
        RelayConnection& connection = later.front();
        later.pop_front();
        // An event of this turn has already given it its share; it waits for the next turn.
        if (connection.servedIn(m_turn)) {
            settleLocked(connection, RelayConnection::Outcome::Open);
            continue;
        }
        connection.touch(m_now, m_turn);
        settleLocked(connection, connection.serveDeferred());
        // After the last share the next turn's wait looks for them anyway.
        if (latencyFirst && !later.empty()) serveQuickLocked(later);
    }
}

void TunnelRelay::serveQuickLocked(QueuedConnections& later) {
    epoll_event events[kEventsPerWait];
    int count = epoll_wait(m_epoll.get(), events, kEventsPerWait, 0);
    for (int i = 0; i < count; ++i) takeEventLocked(events[i], later, true);
}

// Freed at once: events that still name it find its descriptors' entries empty.
void TunnelRelay::closeConnectionLocked(RelayConnection& connection, RelayConnection::Outcome outcome) {
    unwatchLocked(connection.clientFd());
    unwatchLocked(connection.targetFd());
    enterLocked(connection.clientFd(), nullptr);
    enterLocked(connection.targetFd(), nullptr);
    uint64_t tunnelId = connection.tunnelId();
    connection.close(outcome);
    delete &connection;  // leaves its tunnel's list and any queue on the way
    --m_live;
    m_freed = true;
    auto tunnel = m_tunnels.find(tunnelId);
    if (tunnel == m_tunnels.end()) return;
    tunnel->second.lastUse = m_now;
    if (tunnel->second.connections.empty()) noteIdleLocked(m_now);
}

bool TunnelRelay::enterLocked(int fd, RelayConnection* connection) {
    if (fd < 0) return true;
    auto slot = static_cast<size_t>(fd);
    if (slot >= m_byDescriptor.size()) {
        if (!connection) return true;
        const bool grown = UnlessOutOfMemory(false, [&] {
            m_byDescriptor.resize(slot + 1, nullptr);
            return true;
        });
        if (!grown) return false;
    }
    m_byDescriptor[slot] = connection;
    return true;
}

RelayConnection* TunnelRelay::connectionForLocked(uint64_t token) const {
    auto slot = static_cast<size_t>(tokenDescriptor(token));
    if (slot >= m_byDescriptor.size()) return nullptr;
    RelayConnection* connection = m_byDescriptor[slot];
    return connection && connection->serial() == tokenSerial(token) ? connection : nullptr;
}

void TunnelRelay::checkLocked() {
    expireLocked();
    if (m_short) cutOverdueQueuesLocked();
    if (m_short) retryDescriptorsLocked();
    m_nextCheck = m_now + checkInterval(limitsLocked(), m_short);
}

void TunnelRelay::expireLocked() {
    const RelayLimits& limits = limitsLocked();
    for (auto& entry : m_tunnels) {
        OwnedConnections& connections = entry.second.connections;
        for (auto it = connections.begin(); it != connections.end();) {
            RelayConnection& connection = *it++;
            bool expired = connection.connected()
                               ? pastLimit(connection.activeAt(), m_now, limits.idleTimeoutMs)
                               : pastLimit(connection.createdAt(), m_now, limits.connectTimeoutMs);
            if (expired) closeConnectionLocked(connection, RelayConnection::Outcome::Failed);
        }
    }
}

// Connections waiting for a descriptor go first, in the order they came; then the paused listeners are
// watched again, and report the connections queued meanwhile.
void TunnelRelay::retryDescriptorsLocked() {
    while (!m_waiting.empty()) {
        RelayConnection& connection = m_waiting.front();
        m_waiting.pop_front();
        auto tunnel = m_tunnels.find(connection.tunnelId());
        if (tunnel == m_tunnels.end()) {
            closeConnectionLocked(connection, RelayConnection::Outcome::Failed);
            continue;
        }
        if (!connectLocked(connection, tunnel->second.target)) {
            m_waiting.push_front(connection);
            return;
        }
    }
    for (auto& entry : m_tunnels) {
        if (entry.second.paused) watchListenerLocked(entry.first, entry.second, true);
    }
    m_short = false;
}

void TunnelRelay::closeTunnelLocked(TunnelMap::iterator tunnel, TunnelPorts::Fate fate) {
    OwnedConnections& connections = tunnel->second.connections;
    while (!connections.empty()) closeConnectionLocked(connections.front(), RelayConnection::Outcome::Failed);
    unwatchLocked(tunnel->second.listener.get());
    m_ports.release(static_cast<int>(tunnel->first), fate, RelayClock::now());
    m_tunnels.erase(tunnel);
}

void TunnelRelay::handOutLocked(Tunnel& tunnel, RelayClock::time_point now) {
    tunnel.lastUse = now;
    tunnel.handedOutAt = now;
    tunnel.awaitingClient = true;
}

// Idle, and not just handed to a client that has yet to connect: closing its listener now would refuse
// that client, or reset one that connected a moment ago and waits in its queue.
bool TunnelRelay::canGiveBackLocked(const Tunnel& tunnel, RelayClock::time_point now) {
    if (!tunnel.connections.empty() || tunnel.paused) return false;
    long connectTimeoutMs = limitsLocked().connectTimeoutMs;
    auto grace = connectTimeoutMs > 0 ? std::chrono::milliseconds(connectTimeoutMs) : kHandOutGrace;
    if (tunnel.awaitingClient && now - tunnel.handedOutAt < grace) return false;
    return acceptQueueLength(tunnel.listener.get()) == 0;
}

bool TunnelRelay::giveBackLeastRecentLocked(RelayClock::time_point now) {
    auto oldest = m_tunnels.end();
    for (auto it = m_tunnels.begin(); it != m_tunnels.end(); ++it) {
        if (oldest != m_tunnels.end() && it->second.lastUse >= oldest->second.lastUse) continue;
        if (canGiveBackLocked(it->second, now)) oldest = it;
    }
    if (oldest == m_tunnels.end()) return false;
    closeTunnelLocked(oldest, TunnelPorts::Fate::GivenBack);
    return true;
}

bool TunnelRelay::makeRoomLocked(RelayClock::time_point now, std::string& problem) {
    long most = limitsLocked().maxTunnels;
    if (most <= 0 || m_tunnels.size() < static_cast<size_t>(most)) return true;
    if (giveBackLeastRecentLocked(now)) return true;
    problem = "all " + std::to_string(most) + " tunnels (KYFW_MAX_TUNNELS) are in use";
    return false;
}

void TunnelRelay::giveBackIdleLocked() {
    m_nextGiveBack = RelayClock::time_point::max();
    long idleMs = limitsLocked().tunnelIdleMs;
    if (idleMs <= 0) return;
    for (auto it = m_tunnels.begin(); it != m_tunnels.end();) {
        auto tunnel = it++;
        // A busy tunnel is noted again when its last connection ends.
        if (!tunnel->second.connections.empty()) continue;
        RelayClock::time_point due = tunnel->second.lastUse + std::chrono::milliseconds(idleMs);
        if (due > m_now) {
            m_nextGiveBack = std::min(m_nextGiveBack, due);
        } else if (canGiveBackLocked(tunnel->second, m_now)) {
            closeTunnelLocked(tunnel, TunnelPorts::Fate::GivenBack);
        } else {
            m_nextGiveBack = std::min(m_nextGiveBack, m_now + kLongestCheck);
        }
    }
}

// A tunnel became idle at since: it is looked at again when its idle time-out has passed.
void TunnelRelay::noteIdleLocked(RelayClock::time_point since) {
    long idleMs = limitsLocked().tunnelIdleMs;
    if (idleMs > 0) m_nextGiveBack = std::min(m_nextGiveBack, since + std::chrono::milliseconds(idleMs));
}

void TunnelRelay::noteQueueLocked(Tunnel& tunnel) {
    tunnel.queueNoted = true;
    tunnel.queuedAtNote = acceptQueueLength(tunnel.listener.get());
    tunnel.queueNotedAt = m_now;
}

// The connections that were already queued at a paused listener one connect time-out ago have waited
// that long at least: they are reset rather than left waiting for descriptors that may never free up.
void TunnelRelay::cutOverdueQueuesLocked() {
    long timeoutMs = limitsLocked().connectTimeoutMs;
    if (timeoutMs <= 0) return;
    for (auto& entry : m_tunnels) {
        Tunnel& tunnel = entry.second;
        if (!tunnel.paused || !tunnel.queueNoted || !pastLimit(tunnel.queueNotedAt, m_now, timeoutMs))
            continue;
        refuseQueuedLocked(tunnel, tunnel.queuedAtNote);
        noteQueueLocked(tunnel);
    }
}

// accept() needs a descriptor even to reset a connection: the reserve is closed for the time it takes.
// Connections leave the queue in the order they came.
void TunnelRelay::refuseQueuedLocked(Tunnel& tunnel, size_t count) {
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
