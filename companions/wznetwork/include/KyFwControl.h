// Control API of the firewall stand-in, for tests and tools.
#ifndef WZNETWORK_KYFWCONTROL_H
#define WZNETWORK_KYFWCONTROL_H

#include <cstddef>
#include <string>

#define WZNETWORK_API __attribute__((visibility("default")))

namespace kyfw {

enum class Route { Direct, Tunnel, Undecided, Refuse };

// Sets or replaces the route of a host name ("" is the empty host name); target defaults to 127.0.0.1.
WZNETWORK_API void setRoute(const std::string& host, Route route, const std::string& target = "127.0.0.1");
// The route and target of a host as setupTPPM sees it; false when the host has no entry (then Direct to
// 127.0.0.1).
WZNETWORK_API bool lookupRoute(const std::string& host, Route& route, std::string& target);
// Forgets every route set in code and re-reads KYFW_CLIENTS on next use.
WZNETWORK_API void resetRoutes();
// Closes the tunnel listening on localPort, so that connecting to the port is refused, and resets its
// relayed connections; false when there is none.
WZNETWORK_API bool closeTunnel(int localPort);
WZNETWORK_API void closeAllTunnels();
WZNETWORK_API size_t liveTunnelCount();
// Connections accepted by all tunnels since the process started.
WZNETWORK_API size_t relayedConnectionCount();
// Relayed connections open right now.
WZNETWORK_API size_t liveConnectionCount();

// Relayed bytes wait in buffers of this size, two at most per connection, taken while bytes wait and
// given back when they have gone.
constexpr size_t kRelayBufferSize = size_t{128} * 1024;
// Memory held in relay buffers right now: those in use and the few kept for reuse.
WZNETWORK_API size_t relayBufferBytes();

// Bounds of the relay; 0 switches a bound off. Read from the environment when first needed:
// KYFW_CONNECT_TIMEOUT_MS, KYFW_IDLE_TIMEOUT_MS and KYFW_MAX_CONNECTIONS, each a whole number.
struct RelayLimits {
    // A relayed connection whose target has not answered the handshake by then is reset.
    long connectTimeoutMs = 10000;
    // A relayed connection on which nothing moved for this long is reset.
    long idleTimeoutMs = 600000;
    // Relayed connections open at once in the process; a tunnel resets the ones it accepts beyond.
    long maxConnections = 8192;
};
WZNETWORK_API RelayLimits relayLimits();
// Replaces the limits for the rest of the process, for open connections too.
WZNETWORK_API void setRelayLimits(const RelayLimits& limits);
// Forgets limits set in code and reads the environment again on next use.
WZNETWORK_API void resetRelayLimits();

}  // namespace kyfw

#endif
