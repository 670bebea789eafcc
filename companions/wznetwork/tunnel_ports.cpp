#include "tunnel_ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kyfw {
namespace {

// The kernel's own default, used when its setting cannot be read.
constexpr int kEphemeralFirst = 32768;
constexpr int kEphemeralLast = 60999;

// The ports the system hands out for a while only: no service is expected to wait at one of them.
void systemRange(int& first, int& last) {
    first = kEphemeralFirst;
    last = kEphemeralLast;
    FILE* file = fopen("/proc/sys/net/ipv4/ip_local_port_range", "re");
    if (!file) return;
    int low = 0;
    int high = 0;
    if (fscanf(file, "%d %d", &low, &high) == 2 && isPort(low) && isPort(high) && low <= high) {
        first = low;
        last = high;
    }
    fclose(file);
}

// Where a process starts in the range: two relays on one host seldom walk the same ports in step.
size_t startingSlot(size_t slots, TunnelPorts::Clock::time_point now) {
    auto seed =
        static_cast<size_t>(now.time_since_epoch().count()) ^ static_cast<size_t>(getpid()) * 2654435761u;
    return seed % slots;
}

// Binds and listens at port; errno tells why not.
bool listenAt(int fd, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd, SOMAXCONN) == 0;
}

}  // namespace

UniqueFd TunnelPorts::open(const RelayLimits& limits, Clock::time_point now, int& port, std::string& problem,
                           bool& shortOfDescriptors) {
    follow(limits, now);
    shortOfDescriptors = false;
    const size_t slots = m_fate.size();
    for (size_t tried = 0; tried < slots; ++tried) {
        size_t slot = m_next;
        m_next = (m_next + 1) % slots;
        if (m_fate[slot] == Fate::Live || inQuarantine(slot, limits, now)) continue;
        UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) {
            shortOfDescriptors = isDescriptorShortage(errno);
            problem = std::string("socket: ") + strerror(errno);
            return UniqueFd();
        }
        int candidate = m_first + static_cast<int>(slot);
        if (!listenAt(fd.get(), candidate)) {
            if (errno == EADDRINUSE) continue;  // some other socket has it
            problem = std::string("listen on 127.0.0.1: ") + strerror(errno);
            return UniqueFd();
        }
        m_fate[slot] = Fate::Live;
        port = candidate;
        return fd;
    }
    problem = "no port of " + std::to_string(m_first) + "-" + std::to_string(m_last) +
              " is free and out of quarantine";
    return UniqueFd();
}

void TunnelPorts::release(int port, Fate fate, Clock::time_point now) {
    if (port < m_first || port > m_last) return;
    auto slot = static_cast<size_t>(port - m_first);
    m_fate[slot] = fate;
    m_releasedAt[slot] = now;
}

TunnelPorts::Fate TunnelPorts::fate(int port) const {
    if (port < m_first || port > m_last) return Fate::Unused;
    return m_fate[static_cast<size_t>(port - m_first)];
}

void TunnelPorts::forgetLive() {
    for (Fate& fate : m_fate) {
        if (fate == Fate::Live) fate = Fate::Closed;
    }
}

// A new range starts its records afresh; the ports of live tunnels outside it are left to them.
void TunnelPorts::follow(const RelayLimits& limits, Clock::time_point now) {
    int first = limits.firstPort;
    int last = limits.lastPort;
    if (!isPort(first) || !isPort(last) || last < first) {
        // The system's range is read once: not per tunnel, and a later change of it does not wipe the
        // records of the ports handed out.
        if (m_systemLast < 0) systemRange(m_systemFirst, m_systemLast);
        first = m_systemFirst;
        last = m_systemLast;
    }
    if (first == m_first && last == m_last) return;
    // The records are made before the range changes, so that records that cannot be made leave the old
    // range and its records as they were.
    const size_t slots = static_cast<size_t>(last - first) + 1;
    std::vector<Fate> fate(slots, Fate::Unused);
    std::vector<Clock::time_point> releasedAt(slots, Clock::time_point());
    m_fate.swap(fate);
    m_releasedAt.swap(releasedAt);
    m_first = first;
    m_last = last;
    m_next = startingSlot(slots, now);
}

bool TunnelPorts::inQuarantine(size_t slot, const RelayLimits& limits, Clock::time_point now) const {
    if (m_fate[slot] == Fate::Unused || limits.portQuarantineMs <= 0) return false;
    return now - m_releasedAt[slot] < std::chrono::milliseconds(limits.portQuarantineMs);
}

}  // namespace kyfw
