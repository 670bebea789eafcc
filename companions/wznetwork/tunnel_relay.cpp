#include "tunnel_relay.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kyfw {
namespace {

// An epoll token is an object id and the kind of socket it names, so a stale event of a closed socket
// finds nothing.
enum TokenKind : uint64_t { kWake = 0, kListener = 1, kClient = 2, kTarget = 3 };
constexpr int kTokenKindBits = 2;
constexpr uint64_t kTokenKindMask = 3;

uint64_t makeToken(uint64_t id, TokenKind kind) { return id << kTokenKindBits | kind; }

// Edge-triggered: each readiness is acted on until the socket would block. A peer's hang-up is reported
// with the readiness it comes with, so a flow knows when a short read may hide its end.
constexpr uint32_t kConnectionEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
constexpr uint32_t kListenerEvents = EPOLLIN | EPOLLET;
constexpr int kEventsPerWait = 64;

// Ends the thread when the library is unloaded or the process ends, after the statics of everything
// loaded later have been destroyed.
struct RelayStopper {
    ~RelayStopper() { TunnelRelay::instance().stop(); }
} g_relayStopper;

std::string systemProblem(const char* step) { return std::string(step) + ": " + strerror(errno); }

}  // namespace

TunnelRelay& TunnelRelay::instance() {
    static TunnelRelay* relay = new TunnelRelay;
    return *relay;
}

int TunnelRelay::openTunnel(const std::string& target, int port, std::string& problem) {
    Tunnel tunnel;
    if (!makeSocketAddress(target, port, tunnel.target)) {
        problem = "bad target address \"" + target + "\"";
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping || m_stopped) {
        problem = "tunnel relay is shut down";
        return 0;
    }
    if (!startLocked(problem)) return 0;
    tunnel.listener = openLoopbackListener(tunnel.localPort, problem);
    if (!tunnel.listener) return 0;
    uint64_t id = m_nextId++;
    if (!watchLocked(tunnel.listener.get(), kListenerEvents, makeToken(id, kListener))) {
        problem = systemProblem("epoll_ctl");
        return 0;
    }
    int localPort = tunnel.localPort;
    m_tunnels.emplace(id, std::move(tunnel));
    return localPort;
}

bool TunnelRelay::closeTunnel(int localPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_tunnels.begin(); it != m_tunnels.end(); ++it) {
        if (it->second.localPort == localPort) {
            closeTunnelLocked(it);
            return true;
        }
    }
    return false;
}

void TunnelRelay::closeAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    while (!m_tunnels.empty()) closeTunnelLocked(m_tunnels.begin());
}

size_t TunnelRelay::tunnelCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tunnels.size();
}

size_t TunnelRelay::liveConnectionCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections.size();
}

size_t TunnelRelay::acceptedConnectionCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accepted;
}

void TunnelRelay::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping || m_stopped) return;
        while (!m_tunnels.empty()) closeTunnelLocked(m_tunnels.begin());
        // A forked child has no relay thread of its own; the parent's must not be woken from here.
        if (!m_running || m_owner != getpid()) {
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
}

bool TunnelRelay::startLocked(std::string& problem) {
    if (m_running) return true;
    m_epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    m_wake.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!m_epoll || !m_wake || !watchLocked(m_wake.get(), EPOLLIN, makeToken(0, kWake))) {
        problem = systemProblem("cannot start the tunnel relay");
        return false;
    }
    int error = pthread_create(&m_thread, nullptr, &TunnelRelay::threadMain, this);
    if (error != 0) {
        problem = std::string("cannot start the tunnel relay: ") + strerror(error);
        return false;
    }
    m_running = true;
    m_owner = getpid();
    return true;
}

bool TunnelRelay::watchLocked(int fd, uint32_t events, uint64_t token) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    return epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

void* TunnelRelay::threadMain(void* relay) {
    static_cast<TunnelRelay*>(relay)->run();
    return nullptr;
}

void TunnelRelay::run() {
    // m_epoll is set before this thread starts and closed only after it has been joined.
    int epoll = m_epoll.get();
    epoll_event events[kEventsPerWait];
    for (;;) {
        int count = epoll_wait(epoll, events, kEventsPerWait, -1);
        if (count < 0 && errno != EINTR) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        for (int i = 0; i < count; ++i) dispatchLocked(events[i]);
    }
}

void TunnelRelay::dispatchLocked(const epoll_event& event) {
    uint64_t id = event.data.u64 >> kTokenKindBits;
    switch (event.data.u64 & kTokenKindMask) {
        case kWake:
            drainWakeLocked();
            return;
        case kListener: {
            auto tunnel = m_tunnels.find(id);
            if (tunnel != m_tunnels.end()) acceptLocked(id, tunnel->second);
            return;
        }
        case kClient:
            serveLocked(id, false, event.events);
            return;
        case kTarget:
            serveLocked(id, true, event.events);
            return;
        default:
            return;
    }
}

void TunnelRelay::drainWakeLocked() {
    uint64_t count;
    while (read(m_wake.get(), &count, sizeof count) > 0) {
    }
}

void TunnelRelay::acceptLocked(uint64_t tunnelId, Tunnel& tunnel) {
    for (;;) {
        int fd = accept4(tunnel.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
        // Drained, or out of descriptors: the next connection to arrive wakes the listener again.
        if (fd < 0) return;
        ++m_accepted;
        relayLocked(tunnelId, tunnel, UniqueFd(fd));
    }
}

void TunnelRelay::relayLocked(uint64_t tunnelId, Tunnel& tunnel, UniqueFd client) {
    UniqueFd target(socket(tunnel.target.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!target) {
        client.abort();
        return;
    }
    setNoDelay(client.get());
    setNoDelay(target.get());
    bool connected = connect(target.get(), reinterpret_cast<const sockaddr*>(&tunnel.target.storage),
                             tunnel.target.length) == 0;
    if (!connected && errno != EINPROGRESS) {
        client.abort();
        return;
    }
    uint64_t id = m_nextId++;
    auto connection =
        std::make_unique<RelayConnection>(tunnelId, std::move(client), std::move(target), connected);
    if (!watchLocked(connection->clientFd(), kConnectionEvents, makeToken(id, kClient)) ||
        !watchLocked(connection->targetFd(), kConnectionEvents, makeToken(id, kTarget))) {
        connection->abort();
        return;
    }
    RelayConnection& relay = *connection;
    m_connections.emplace(id, std::move(connection));
    tunnel.connections.insert(id);
    if (connected && relay.relay() == RelayConnection::Outcome::Done) forgetConnectionLocked(id);
}

void TunnelRelay::serveLocked(uint64_t connectionId, bool targetSide, uint32_t events) {
    auto connection = m_connections.find(connectionId);
    if (connection == m_connections.end()) return;
    if (connection->second->onEvents(targetSide, events) == RelayConnection::Outcome::Done) {
        forgetConnectionLocked(connectionId);
    }
}

void TunnelRelay::forgetConnectionLocked(uint64_t connectionId) {
    auto connection = m_connections.find(connectionId);
    if (connection == m_connections.end()) return;
    auto tunnel = m_tunnels.find(connection->second->tunnelId());
    if (tunnel != m_tunnels.end()) tunnel->second.connections.erase(connectionId);
    m_connections.erase(connection);
}

void TunnelRelay::closeTunnelLocked(std::map<uint64_t, Tunnel>::iterator tunnel) {
    for (uint64_t id : tunnel->second.connections) {
        auto connection = m_connections.find(id);
        if (connection == m_connections.end()) continue;
        connection->second->abort();
        m_connections.erase(connection);
    }
    epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, tunnel->second.listener.get(), nullptr);
    m_tunnels.erase(tunnel);
}

}  // namespace kyfw
