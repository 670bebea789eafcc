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

}  // namespace kyfw

#endif
