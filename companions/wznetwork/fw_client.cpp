#include <string>

#include "KyFwClient.h"
#include "client_table.h"
#include "no_throw.h"
#include "socket_ops.h"
#include "tunnel_relay.h"

namespace {

void clearError(KyFwError* err) {
    if (!err) return;
    err->m_code = KYFW_ERR_NONE;
    err->m_message.clear();
}

void setError(KyFwError* err, KyFwErrorCode code, const std::string& message) {
    if (!err) return;
    err->m_code = code;
    err->m_message = message;
}

// The host a tunnel name is about: the second part of a mangled name, otherwise the name itself.
std::string tunnelHost(const char* name) {
    std::string account;
    std::string host;
    int i = 0;
    int j = 0;
    if (DemangleHostName(name, account, host, i, j)) return host;
    return name;
}

// 1 through a tunnel, 0 not, or undecided with the reason in err.
int firewalled(const char* hostName, KyFwError* err) {
    clearError(err);
    std::string host = hostName ? hostName : "";
    kyfw::ClientEntry entry;
    kyfw::ClientTable::instance().find(host, entry);
    switch (entry.route) {
        case kyfw::Route::Tunnel:
        case kyfw::Route::Refuse:
            return 1;
        case kyfw::Route::Undecided:
            setError(err, KYFW_ERR_UNDECIDED, "firewall state of host \"" + host + "\" is undecided");
            return 0;
        case kyfw::Route::Direct:
            break;
    }
    return 0;
}

int tunnelPort(const char* mangledName, int port, KyFwError* err) {
    clearError(err);
    if (!kyfw::isPort(port)) {
        setError(err, KYFW_ERR_BAD_PORT, "invalid port " + std::to_string(port));
        return 0;
    }
    std::string host = tunnelHost(mangledName ? mangledName : "");
    kyfw::ClientEntry entry;
    kyfw::ClientTable::instance().find(host, entry);
    if (entry.route == kyfw::Route::Refuse) {
        setError(err, KYFW_ERR_REFUSED, "tunnel to host \"" + host + "\" refused");
        return 0;
    }
    std::string problem;
    int localPort =
        kyfw::TunnelRelay::instance().openTunnel(kyfw::hostKey(host), entry.target, port, problem);
    if (localPort == 0) setError(err, KYFW_ERR_RELAY, "cannot open tunnel: " + problem);
    return localPort;
}

int tunnelState(int localPort, const char* mangledName, int port) {
    std::string host = tunnelHost(mangledName ? mangledName : "");
    kyfw::ClientEntry entry;
    kyfw::ClientTable::instance().find(host, entry);
    return kyfw::TunnelRelay::instance().tunnelState(localPort, kyfw::hostKey(host), entry.target, port);
}

constexpr int kNoMemory = -1;

}  // namespace

// Without memory the reachability is undecided, and no tunnel is set up; the record says why.
bool KyFwClient::isFirewalled(const char* hostName, const char* /*domain*/, KyFwError* err) {
    const int answer = kyfw::UnlessOutOfMemory(kNoMemory, [&] { return firewalled(hostName, err); });
    if (answer == kNoMemory) setError(err, KYFW_ERR_UNDECIDED, kyfw::kOutOfMemory);
    return answer == 1;
}

int KyFwClient::setupTPPM(const char* mangledName, int port, const char* /*options*/, KyFwError* err) {
    const int localPort =
        kyfw::UnlessOutOfMemory(kNoMemory, [&] { return tunnelPort(mangledName, port, err); });
    if (localPort != kNoMemory) return localPort;
    setError(err, KYFW_ERR_RELAY, kyfw::kOutOfMemory);
    return 0;
}

int KyFwTunnelState(int localPort, const char* mangledName, int port) {
    return kyfw::UnlessOutOfMemory(static_cast<int>(KYFW_TUNNEL_UNKNOWN),
                                   [&] { return tunnelState(localPort, mangledName, port); });
}
