#include "KyFwControl.h"
#include "client_table.h"
#include "tunnel_relay.h"

namespace kyfw {

void setRoute(const std::string& host, Route route, const std::string& target) {
    ClientTable::instance().set(host, ClientEntry{route, target});
}

bool lookupRoute(const std::string& host, Route& route, std::string& target) {
    ClientEntry entry;
    bool found = ClientTable::instance().find(host, entry);
    route = entry.route;
    target = entry.target;
    return found;
}

void resetRoutes() { ClientTable::instance().reset(); }

bool closeTunnel(int localPort) { return TunnelRelay::instance().closeTunnel(localPort); }

void closeAllTunnels() { TunnelRelay::instance().closeAll(); }

size_t liveTunnelCount() { return TunnelRelay::instance().tunnelCount(); }

std::vector<TunnelInfo> liveTunnels() { return TunnelRelay::instance().tunnels(); }

size_t relayedConnectionCount() { return TunnelRelay::instance().acceptedConnectionCount(); }

size_t liveConnectionCount() { return TunnelRelay::instance().liveConnectionCount(); }

size_t relayBufferBytes() { return TunnelRelay::instance().bufferBytes(); }

RelayLimits relayLimits() { return TunnelRelay::instance().limits(); }

void setRelayLimits(const RelayLimits& limits) { TunnelRelay::instance().setLimits(limits); }

void resetRelayLimits() { TunnelRelay::instance().resetLimits(); }

}  // namespace kyfw
