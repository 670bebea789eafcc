// Control API of the firewall stand-in, for tests and tools.
#ifndef WZNETWORK_KYFWCONTROL_H
#define WZNETWORK_KYFWCONTROL_H

#include <cstddef>
#include <string>
#include <vector>

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

// One live tunnel as the relay sees it.
struct TunnelInfo {
    int localPort = 0;
    std::string host;  // the destination as the client table spells it, in lower case
    std::string target;
    int port = 0;
    size_t connections = 0;  // relayed connections open right now
    long idleMs = 0;         // since the last connection ended or the port was handed out; 0 while busy
};
// The live tunnels, in the order of their local ports.
WZNETWORK_API std::vector<TunnelInfo> liveTunnels();
// Connections accepted by all tunnels since the process started.
WZNETWORK_API size_t relayedConnectionCount();
// Relayed connections open right now.
WZNETWORK_API size_t liveConnectionCount();

// Relayed bytes wait in buffers of this size, two at most per connection, taken while bytes wait and
// given back when they have gone.
constexpr size_t kRelayBufferSize = size_t{128} * 1024;
// Memory held in relay buffers right now: those in use and the few kept for reuse, and the capacity of the
// pipes that spliced flows hold or that are kept for reuse (at most kRelayBufferSize each).
WZNETWORK_API size_t relayBufferBytes();

// Bounds of the relay; 0 switches a bound off. Read from the environment when first needed:
// KYFW_CONNECT_TIMEOUT_MS, KYFW_IDLE_TIMEOUT_MS, KYFW_MAX_CONNECTIONS, KYFW_TUNNEL_IDLE_MS,
// KYFW_MAX_TUNNELS, KYFW_PORT_QUARANTINE_MS, KYFW_SPLICE and KYFW_LATENCY_FIRST, each a whole number.
struct RelayLimits {
    // A relayed connection whose target has not answered the handshake by then is reset.
    long connectTimeoutMs = 10000;
    // A relayed connection on which nothing moved for this long is reset.
    long idleTimeoutMs = 600000;
    // Relayed connections open at once in the process; a tunnel resets the ones it accepts beyond.
    long maxConnections = 8192;
    // A tunnel without connections for this long is given back: its listener closes. Five minutes keep
    // the tunnel of a client that is asked every minute or so, and let one asked once go soon.
    long tunnelIdleMs = 300000;
    // Live tunnels at once; at the cap a new destination takes the place of the least recently used idle
    // tunnel, and its set-up fails when every tunnel is busy. Well under the usual 1,024 descriptors.
    long maxTunnels = 512;
    // A port a tunnel gave back is not taken for another tunnel of this relay for this long. Tunnel ports
    // come in turn from the system's ephemeral range (or firstPort..lastPort when both are set); 0 turns
    // the quarantine off, which leaves only the turn through the range between two uses of a port.
    long portQuarantineMs = 3600000;
    int firstPort = 0;
    int lastPort = 0;
    // 1: a bulk flow moves its bytes with splice() through a pipe, where both sockets allow it; 0: every
    // byte is copied through the relay's buffers. For connections accepted from then on.
    long splice = 1;
    // 1: flows whose reads come in small pieces (requests, pings) are served before bulk flows move on,
    // and again between one bulk flow's share and the next's; 0: every flow in the order its events came.
    long latencyFirst = 1;
};
WZNETWORK_API RelayLimits relayLimits();
// Replaces the limits for the rest of the process, for open connections too.
WZNETWORK_API void setRelayLimits(const RelayLimits& limits);
// Forgets limits set in code and reads the environment again on next use.
WZNETWORK_API void resetRelayLimits();

}  // namespace kyfw

#endif
