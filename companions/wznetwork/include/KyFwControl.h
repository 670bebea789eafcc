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
// Forgets every route set in code and re-reads KYFW_CLIENTS on next use.
WZNETWORK_API void resetRoutes();
// Closes the tunnel listening on localPort and its relayed connections; false when there is none.
WZNETWORK_API bool closeTunnel(int localPort);
WZNETWORK_API void closeAllTunnels();
WZNETWORK_API size_t liveTunnelCount();
// Connections accepted by all tunnels since the process started.
WZNETWORK_API size_t relayedConnectionCount();

}  // namespace kyfw

#endif
