#include "tunnel_relay.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "relay_limits.h"
#include "relay_tokens.h"

namespace kyfw {
namespace {

// Ends the thread when the library is unloaded or the process ends, after the statics of everything
// loaded later have been destroyed.
struct RelayStopper {
    ~RelayStopper() { TunnelRelay::instance().stop(); }
} g_relayStopper;

std::string systemProblem(const char* step) { return std::string(step) + ": " + strerror(errno); }

const ForkSafeInstance<TunnelRelay> g_relay;

}  // namespace

TunnelRelay& TunnelRelay::instance() { return ForkSafeInstance<TunnelRelay>::get(); }

int TunnelRelay::openTunnel(const std::string& host, const std::string& target, int port,
                            std::string& problem) {
    SocketAddress address;
    if (!makeSocketAddress(target, port, address)) {
        problem = "bad target address \"" + target + "\"";
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping || m_stopped) {
        problem = "tunnel relay is shut down";
        return 0;
    }
    RelayClock::time_point now = RelayClock::now();
    // A walk over the live tunnels: at the default cap of 512 some 5 microseconds at worst, a tenth of
    // what opening a tunnel costs.
    auto known = std::find_if(m_tunnels.begin(), m_tunnels.end(),
                              [&](const auto& entry) { return entry.second.leadsTo(host, target, port); });
    if (known != m_tunnels.end()) {
        handOutLocked(known->second, now);
        return static_cast<int>(known->first);
    }
    if (!startLocked(problem) || !makeRoomLocked(now, problem)) return 0;
    int localPort = 0;
    bool shortOfDescriptors = false;
    UniqueFd listener = m_ports.open(limitsLocked(), now, localPort, problem, shortOfDescriptors);
    // An idle tunnel's listener is a descriptor this destination can have instead.
    if (!listener && shortOfDescriptors && giveBackLeastRecentLocked(now))
        listener = m_ports.open(limitsLocked(), now, localPort, problem, shortOfDescriptors);
    if (!listener) return 0;
    auto id = static_cast<uint64_t>(localPort);
    if (!watchLocked(listener.get(), kListenerEvents, listenerToken(id))) {
        problem = systemProblem("epoll_ctl");
        m_ports.release(localPort, TunnelPorts::Fate::Closed, now);
        return 0;
    }
    Tunnel& tunnel = m_tunnels[id];
    tunnel.host = host;
    tunnel.targetAddress = target;
    tunnel.port = port;
    tunnel.listener = std::move(listener);
    tunnel.target = address;
    handOutLocked(tunnel, now);
    // The relay thread may be waiting without a time-out: it learns of the new tunnel's idle deadline.
    RelayClock::time_point due = m_nextGiveBack;
    noteIdleLocked(now);
    if (m_nextGiveBack < due) wakeLocked();
    return localPort;
}

KyFwTunnelStateCode TunnelRelay::tunnelState(int localPort, const std::string& host,
                                             const std::string& target, int port) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto live = m_tunnels.find(static_cast<uint64_t>(localPort));
    if (live != m_tunnels.end()) {
        if (!live->second.leadsTo(host, target, port)) return KYFW_TUNNEL_GONE;
        handOutLocked(live->second, RelayClock::now());
        return KYFW_TUNNEL_LIVE;
    }
    return m_ports.fate(localPort) == TunnelPorts::Fate::GivenBack ? KYFW_TUNNEL_GONE : KYFW_TUNNEL_UNKNOWN;
}

bool TunnelRelay::closeTunnel(int localPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto tunnel = m_tunnels.find(static_cast<uint64_t>(localPort));
    if (tunnel == m_tunnels.end()) return false;
    closeTunnelLocked(tunnel);
    wakeLocked();
    return true;
}

void TunnelRelay::closeAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    while (!m_tunnels.empty()) closeTunnelLocked(m_tunnels.begin());
    wakeLocked();
}

size_t TunnelRelay::tunnelCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tunnels.size();
}

std::vector<TunnelInfo> TunnelRelay::tunnels() {
    std::lock_guard<std::mutex> lock(m_mutex);
    RelayClock::time_point now = RelayClock::now();
    std::vector<TunnelInfo> listed;
    listed.reserve(m_tunnels.size());
    for (const auto& entry : m_tunnels) {
        const Tunnel& tunnel = entry.second;
        TunnelInfo info;
        info.localPort = static_cast<int>(entry.first);
        info.host = tunnel.host;
        info.target = tunnel.targetAddress;
        info.port = tunnel.port;
        for (auto it = tunnel.connections.begin(); it != tunnel.connections.end(); ++it) ++info.connections;
        if (info.connections == 0)
            info.idleMs = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(now - tunnel.lastUse).count());
        listed.push_back(info);
    }
    return listed;
}

size_t TunnelRelay::liveConnectionCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_live;
}

size_t TunnelRelay::acceptedConnectionCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accepted;
}

size_t TunnelRelay::bufferBytes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pool.bytesHeld() + m_pipes.bytesHeld();
}

RelayLimits TunnelRelay::limits() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return limitsLocked();
}

void TunnelRelay::setLimits(const RelayLimits& limits) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limits = limits;
    m_limitsKnown = true;
    // The next check follows the new time-outs.
    m_nextCheck = RelayClock::time_point();
    m_nextGiveBack = RelayClock::time_point();
    wakeLocked();
}

void TunnelRelay::resetLimits() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limitsKnown = false;
}

const RelayLimits& TunnelRelay::limitsLocked() {
    if (!m_limitsKnown) m_limits = limitsFromEnvironment();
    m_limitsKnown = true;
    return m_limits;
}

void TunnelRelay::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping || m_stopped) return;
        while (!m_tunnels.empty()) closeTunnelLocked(m_tunnels.begin());
        if (!m_running) {
            m_stopped = true;
            return;
        }
        m_stopping = true;
        uint64_t one = 1;
        if (write(m_wake.get(), &one, sizeof one) != sizeof one) return;  // cannot wake it: let it run
    }
    pthread_join(m_thread, nullptr);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = false;
    m_stopped = true;
    m_epoll.reset();
    m_wake.reset();
    m_reserve.reset();
}

bool TunnelRelay::startLocked(std::string& problem) {
    if (m_running) return true;
    limitsLocked();
    m_epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    m_wake.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    m_reserve.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!m_epoll || !m_wake || !watchLocked(m_wake.get(), EPOLLIN, kWakeToken)) {
        problem = systemProblem("cannot start the tunnel relay");
        return false;
    }
    int error = pthread_create(&m_thread, nullptr, &TunnelRelay::threadMain, this);
    if (error != 0) {
        problem = std::string("cannot start the tunnel relay: ") + strerror(error);
        return false;
    }
    m_running = true;
    return true;
}

void TunnelRelay::wakeLocked() {
    if (!m_running) return;
    uint64_t one = 1;
    // A failed write means the counter is already set, which wakes the thread as well.
    [[maybe_unused]] ssize_t written = write(m_wake.get(), &one, sizeof one);
}

// Only the forking thread lives on in the child: the relay's thread is gone, and every descriptor of the
// relay here is a copy whose closing must not touch the parent's connections: closed plainly, without a
// reset and without a change to the epoll set, which the child shares with the parent until it closes
// its copy. A tunnel the child asks for later starts a relay of its own.
void TunnelRelay::afterForkInChild() {
    for (auto& entry : m_tunnels) {
        entry.second.connections.clear_and_dispose(std::default_delete<RelayConnection>());
    }
    m_byDescriptor.clear();
    m_pipes.trim(0);
    m_tunnels.clear();
    m_ports.forgetLive();
    m_epoll.reset();
    m_wake.reset();
    m_reserve.reset();
    m_thread = pthread_t{};
    m_running = false;
    m_live = 0;
    m_short = false;
    m_nextGiveBack = RelayClock::time_point::max();
    m_mutex.unlock();
}

}  // namespace kyfw
