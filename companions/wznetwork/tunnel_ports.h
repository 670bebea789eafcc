// The local ports of the relay's tunnels. They are taken in turn from a range, not as bind() to port 0
// gives them, and a port a tunnel gave back is not taken again within a quarantine: a client that still
// holds the port of a given-back tunnel must not reach another destination's tunnel through it. What
// became of each port is kept, so that such a client can be told.
#ifndef WZNETWORK_TUNNEL_PORTS_H
#define WZNETWORK_TUNNEL_PORTS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "KyFwControl.h"
#include "socket_ops.h"

namespace kyfw {

class TunnelPorts {
  public:
    using Clock = std::chrono::steady_clock;
    enum class Fate : uint8_t {
        Unused,     // never a tunnel's port here, or its record went with a change of range
        Live,       // a live tunnel listens on it
        GivenBack,  // the relay gave its tunnel back: idle, or its place needed for another
        Closed,     // closed on request, or its listener failed, or it was the parent's before a fork
    };

    // A non-blocking listener on 127.0.0.1 at the next port of the range that is free and out of
    // quarantine; on failure an empty fd, the reason in problem, and shortOfDescriptors set when the
    // process had none left.
    UniqueFd open(const RelayLimits& limits, Clock::time_point now, int& port, std::string& problem,
                  bool& shortOfDescriptors);
    // The port's tunnel has ended: GivenBack starts the quarantine, Closed too.
    void release(int port, Fate fate, Clock::time_point now);
    Fate fate(int port) const;
    // In a forked child: the parent's tunnels are not this process's.
    void forgetLive();

  private:
    void follow(const RelayLimits& limits, Clock::time_point now);
    bool inQuarantine(size_t slot, const RelayLimits& limits, Clock::time_point now) const;

    int m_first = 0;
    int m_last = -1;
    int m_systemFirst = 0;
    int m_systemLast = -1;  // the system's ephemeral range, once read
    size_t m_next = 0;
    std::vector<Fate> m_fate;
    std::vector<Clock::time_point> m_releasedAt;
};

}  // namespace kyfw

#endif
