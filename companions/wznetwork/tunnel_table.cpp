#include "tunnel_table.h"

#include <algorithm>
#include <utility>

#include "no_throw.h"
#include "relay_limits.h"

namespace kyfw {
namespace {

// How long a port just handed out is kept for the client it was handed to when the connect time-out is
// off.
constexpr auto kHandOutGrace = std::chrono::milliseconds(10000);
// A tunnel that could not be given back when idle is looked at again this soon.
constexpr auto kGiveBackRetry = std::chrono::milliseconds(1000);

}  // namespace

Tunnel::Tunnel(TunnelRelay& relay, int localPort, std::string host, std::string targetAddress, int port,
               const SocketAddress& target, UniqueFd listener)
    : relay(relay),
      localPort(localPort),
      host(std::move(host)),
      targetAddress(std::move(targetAddress)),
      port(port),
      target(target),
      listener(std::move(listener)) {}

int TunnelTable::handOut(const std::string& host, const std::string& target, int port) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // A walk over the live tunnels: at the default cap of 512 some 5 microseconds at worst, a tenth of
    // what opening a tunnel costs.
    for (auto& entry : m_tunnels) {
        if (!entry.second->leadsTo(host, target, port)) continue;
        handOutLocked(*entry.second, Clock::now());
        return entry.first;
    }
    return 0;
}

TunnelTable::Opening TunnelTable::open(TunnelRelay& relay, const std::string& host, const std::string& target,
                                       int port, const SocketAddress& address, bool mayGiveBack,
                                       std::string& problem) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Opening opening;
    if (m_closedForGood) {
        problem = "tunnel relay is shut down";
        return opening;
    }
    Clock::time_point now = Clock::now();
    for (auto& entry : m_tunnels) {
        if (!entry.second->leadsTo(host, target, port)) continue;
        handOutLocked(*entry.second, now);
        opening.localPort = entry.first;
        return opening;
    }
    if (!makeRoomLocked(now, problem)) return opening;
    int localPort = 0;
    bool shortOfDescriptors = false;
    UniqueFd listener = m_ports.open(limitsLocked(), now, localPort, problem, shortOfDescriptors);
    if (!listener) {
        // An idle tunnel's listener is a descriptor this destination can have instead, once it is closed.
        if (shortOfDescriptors && mayGiveBack) opening.retired = giveBackLeastRecentLocked(now);
        return opening;
    }
    auto made = UnlessOutOfMemory(std::unique_ptr<Tunnel>(), [&] {
        return std::make_unique<Tunnel>(relay, localPort, host, target, port, address, std::move(listener));
    });
    Tunnel* tunnel = made.get();
    const bool entered = tunnel && UnlessOutOfMemory(false, [&] {
                             m_tunnels.emplace(localPort, std::move(made));
                             return true;
                         });
    if (!entered) {
        m_ports.release(localPort, TunnelPorts::Fate::Closed, now);
        problem = kOutOfMemory;
        return opening;
    }
    handOutLocked(*tunnel, now);
    m_new.push_back(*tunnel);
    opening.localPort = localPort;
    return opening;
}

KyFwTunnelStateCode TunnelTable::state(int localPort, const std::string& host, const std::string& target,
                                       int port) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto live = m_tunnels.find(localPort);
    if (live != m_tunnels.end()) {
        if (!live->second->leadsTo(host, target, port)) return KYFW_TUNNEL_GONE;
        handOutLocked(*live->second, Clock::now());
        return KYFW_TUNNEL_LIVE;
    }
    return m_ports.fate(localPort) == TunnelPorts::Fate::GivenBack ? KYFW_TUNNEL_GONE : KYFW_TUNNEL_UNKNOWN;
}

uint64_t TunnelTable::close(int localPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto tunnel = m_tunnels.find(localPort);
    if (tunnel == m_tunnels.end()) return 0;
    return retireLocked(tunnel, TunnelPorts::Fate::Closed, Clock::now());
}

uint64_t TunnelTable::closeAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t last = 0;
    Clock::time_point now = Clock::now();
    while (!m_tunnels.empty()) last = retireLocked(m_tunnels.begin(), TunnelPorts::Fate::Closed, now);
    return last;
}

uint64_t TunnelTable::closeForGood() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closedForGood = true;
    }
    return closeAll();
}

size_t TunnelTable::count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tunnels.size();
}

std::vector<TunnelInfo> TunnelTable::list() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Clock::time_point now = Clock::now();
    std::vector<TunnelInfo> listed;
    listed.reserve(m_tunnels.size());
    for (const auto& entry : m_tunnels) {
        const Tunnel& tunnel = *entry.second;
        TunnelInfo info;
        info.localPort = entry.first;
        info.host = tunnel.host;
        info.target = tunnel.targetAddress;
        info.port = tunnel.port;
        info.connections = tunnel.connectionCount;
        if (info.connections == 0)
            info.idleMs = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(now - tunnel.lastUse).count());
        listed.push_back(info);
    }
    return listed;
}

RelayLimits TunnelTable::limits() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return limitsLocked();
}

void TunnelTable::setLimits(const RelayLimits& limits) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limits = limits;
    m_limitsKnown = true;
    ++m_limitsVersion;
}

void TunnelTable::resetLimits() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limitsKnown = false;
    ++m_limitsVersion;
}

RelayLimits TunnelTable::limits(uint64_t& version) {
    std::lock_guard<std::mutex> lock(m_mutex);
    version = m_limitsVersion;
    return limitsLocked();
}

const RelayLimits& TunnelTable::limitsLocked() {
    if (!m_limitsKnown) m_limits = limitsFromEnvironment();
    m_limitsKnown = true;
    return m_limits;
}

void TunnelTable::takeChanges(TunnelList& opened, RetiredTunnels& retired, uint64_t& upTo) {
    std::lock_guard<std::mutex> lock(m_mutex);
    opened.splice(opened.end(), m_new);
    retired.splice(retired.end(), m_retired);
    upTo = m_retirements;
}

void TunnelTable::noteSettled(uint64_t upTo) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_settled = std::max(m_settled, upTo);
    }
    m_settledChanged.notify_all();
}

bool TunnelTable::waitSettled(uint64_t retired) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_settledChanged.wait(lock, [&] { return m_settled >= retired || !m_settler; });
    return m_settled >= retired;
}

void TunnelTable::setSettler(bool present) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_settler = present;
    }
    m_settledChanged.notify_all();
}

void TunnelTable::noteAdmitted(Tunnel& tunnel, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++tunnel.connectionCount;
    tunnel.lastUse = now;
    tunnel.awaitingClient = false;
}

bool TunnelTable::noteEnded(Tunnel& tunnel, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    --tunnel.connectionCount;
    tunnel.lastUse = now;
    return tunnel.connectionCount == 0;
}

void TunnelTable::notePaused(Tunnel& tunnel, bool paused) {
    std::lock_guard<std::mutex> lock(m_mutex);
    tunnel.paused = paused;
}

void TunnelTable::closeFailed(Tunnel& tunnel) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto live = m_tunnels.find(tunnel.localPort);
    if (live != m_tunnels.end() && live->second.get() == &tunnel)
        retireLocked(live, TunnelPorts::Fate::Closed, Clock::now());
}

TunnelTable::Clock::time_point TunnelTable::giveBackIdle(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Clock::time_point next = Clock::time_point::max();
    long idleMs = limitsLocked().tunnelIdleMs;
    if (idleMs <= 0) return next;
    for (auto it = m_tunnels.begin(); it != m_tunnels.end();) {
        auto tunnel = it++;
        // A busy tunnel is noted again when its last connection ends.
        if (tunnel->second->connectionCount != 0) continue;
        Clock::time_point due = tunnel->second->lastUse + std::chrono::milliseconds(idleMs);
        if (due > now) {
            next = std::min(next, due);
        } else if (canGiveBackLocked(*tunnel->second, now)) {
            retireLocked(tunnel, TunnelPorts::Fate::GivenBack, now);
        } else {
            next = std::min(next, now + kGiveBackRetry);
        }
    }
    return next;
}

void TunnelTable::handOutLocked(Tunnel& tunnel, Clock::time_point now) {
    tunnel.lastUse = now;
    tunnel.handedOutAt = now;
    tunnel.awaitingClient = true;
}

// Idle, and not just handed to a client that has yet to connect: closing its listener now would refuse
// that client, or reset one that connected a moment ago and waits in its queue.
bool TunnelTable::canGiveBackLocked(const Tunnel& tunnel, Clock::time_point now) {
    if (tunnel.connectionCount != 0 || tunnel.paused) return false;
    long connectTimeoutMs = limitsLocked().connectTimeoutMs;
    auto grace = connectTimeoutMs > 0 ? std::chrono::milliseconds(connectTimeoutMs) : kHandOutGrace;
    if (tunnel.awaitingClient && now - tunnel.handedOutAt < grace) return false;
    return acceptQueueLength(tunnel.listener.get()) == 0;
}

uint64_t TunnelTable::giveBackLeastRecentLocked(Clock::time_point now) {
    auto oldest = m_tunnels.end();
    for (auto it = m_tunnels.begin(); it != m_tunnels.end(); ++it) {
        if (oldest != m_tunnels.end() && it->second->lastUse >= oldest->second->lastUse) continue;
        if (canGiveBackLocked(*it->second, now)) oldest = it;
    }
    if (oldest == m_tunnels.end()) return 0;
    return retireLocked(oldest, TunnelPorts::Fate::GivenBack, now);
}

bool TunnelTable::makeRoomLocked(Clock::time_point now, std::string& problem) {
    long most = limitsLocked().maxTunnels;
    if (most <= 0 || m_tunnels.size() < static_cast<size_t>(most)) return true;
    if (giveBackLeastRecentLocked(now) != 0) return true;
    problem = "all " + std::to_string(most) + " tunnels (KYFW_MAX_TUNNELS) are in use";
    return false;
}

// The listener is shut down, not closed: its port refuses from now on, and its descriptor stays the
// relay thread's until that thread closes it, so that no other socket can take its number meanwhile.
uint64_t TunnelTable::retireLocked(Tunnels::iterator tunnel, TunnelPorts::Fate fate, Clock::time_point now) {
    Tunnel* retired = tunnel->second.release();
    m_tunnels.erase(tunnel);
    shutdown(retired->listener.get(), SHUT_RDWR);
    m_ports.release(retired->localPort, fate, now);
    m_retired.push_back(*retired);
    return ++m_retirements;
}

void TunnelTable::forgetAfterFork() {
    auto forget = [](Tunnel* tunnel) {
        tunnel->connections.clear_and_dispose(std::default_delete<RelayConnection>());
        delete tunnel;
    };
    m_new.clear();
    m_retired.clear_and_dispose(forget);
    for (auto& entry : m_tunnels) forget(entry.second.release());
    m_tunnels.clear();
    m_ports.forgetLive();
    m_retirements = m_settled = 0;
    m_settler = false;
    m_mutex.unlock();
}

}  // namespace kyfw
