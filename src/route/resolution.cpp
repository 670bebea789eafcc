#include "route/resolution.h"

#include <string>
#include <utility>

#include "FXString.h"
#include "KyFwClient.h"
#include "diag/credential_hiding.h"
#include "diag/log_text.h"
#include "kylibcurl.h"
#include "platform/globals.h"
#include "platform/no_throw.h"
#include "route/tunnel_cache.h"
#include "route/url.h"

using namespace kylibcurl::detail;

namespace {

constexpr char kResolutionTag[] = "KYLibCurl::getTPPMUrl";

// The names the firewall client is given for one client: the host its reachability is asked about and
// the mangled name its tunnel is set up for. A plain name is asked about as the empty host.
struct FirewallNames {
    std::string hostName;
    std::string tunnelName;
};

FirewallNames NamesForClient(const std::string& clientName) {
    FirewallNames names{std::string(), clientName};
    if (clientName.find('*') != std::string::npos) {
        std::string account;
        int first = 0;
        int second = 0;
        DemangleHostName(clientName.c_str(), account, names.hostName, first, second);
    } else {
        names.tunnelName = MangleHostName("", clientName.c_str(), 0, 0);
    }
    return names;
}

enum class Reachability { Tunnel, Direct, Undecided };

Reachability AskFirewall(const std::string& hostName, KyFwError& record) {
    if (KyFwClient::isFirewalled(hostName.c_str(), "", &record)) return Reachability::Tunnel;
    return record.isSet() ? Reachability::Undecided : Reachability::Direct;
}

// The cached tunnel prefix for url's key, or a tunnel set up and its prefix cached; empty when none could
// be set up (logged). An empty cached prefix counts as none.
std::string TunnelPrefix(const std::string& tunnelName, const Url& url, KyFwError& record) {
    std::string prefix = LiveTunnelPrefix(url, tunnelName);
    if (!prefix.empty()) return prefix;

    const int tunnelPort = KyFwClient::setupTPPM(tunnelName.c_str(), url.port(), nullptr, &record);
    if (tunnelPort == 0) {
        LogSafely(-1, [&] {
            m_dbg.DebugLvl(kResolutionTag, -1, "Couldn't setup TPPM port, err:[%s]",
                           BoundedText(record.m_message).c_str());
        });
        return prefix;
    }
    // Formatted by the string helpers' Format, one of the calls the companions' contract names.
    prefix = std::string(url.scheme()) + "127.0.0.1" + ":" + FXString::Format("%d", tunnelPort);
    TunnelCacheOperation(url, prefix, KYLibCurl::TPPM_CACHE_ADD);
    return prefix;
}

// The request keeps its own scheme and user information: only host and port name the tunnel.
Route TunnelRoute(const Url& url, const std::string& prefix) {
    Route route;
    route.tunnelled = true;
    route.tunnel = TunnelOf(prefix).authority;
    route.https = url.isHttps();
    route.url =
        std::string(url.scheme()) + std::string(url.userPart()) + route.tunnel + std::string(url.rest());
    return route;
}

}  // namespace

namespace kylibcurl::detail {

Resolution ResolveRoute(const std::string& clientName, const std::string& url, bool useDynamicTppm) {
    Resolution resolution;
    KyFwError record;  // shared by both firewall calls, never cleared in between
    const FirewallNames names = NamesForClient(clientName);

    if (!useDynamicTppm) {
        switch (AskFirewall(names.hostName, record)) {
            case Reachability::Undecided:
                LogSafely(-1, [&] {
                    m_dbg.DebugLvl(kResolutionTag, -1, "Not sure client \"%s\" firewalled or not, err:[%s]",
                                   BoundedText(clientName).c_str(), BoundedText(record.m_message).c_str());
                });
                return resolution;
            case Reachability::Direct:
                resolution.resolved = true;
                resolution.route.url = url;
                return resolution;
            case Reachability::Tunnel:
                break;
        }
    }

    // Without "://" there is no host to replace, and a tunnel URL built from it would be unusable.
    const Url split = ParseUrl(url);
    if (!split.hasScheme) {
        LogSafely(-1, [&] {
            m_dbg.DebugLvl(kResolutionTag, -1, "Couldn't build TPPM url, no scheme in url:[%s]",
                           LoggedUrl(url).c_str());
        });
        return resolution;
    }
    const std::string prefix = TunnelPrefix(names.tunnelName, split, record);
    if (prefix.empty()) {
        resolution.noTunnel = true;
        return resolution;
    }

    resolution.resolved = true;
    resolution.route = TunnelRoute(split, prefix);
    LogSafely(7, [&] {
        m_dbg.DebugLvl(kResolutionTag, 7, "TPPM url:[%s]", LoggedUrl(resolution.route.url).c_str());
    });
    return resolution;
}

}  // namespace kylibcurl::detail

// Gives the URL a routed request goes to: url itself when the firewall client reaches the client
// directly, otherwise url with its host and port replaced by those of a tunnel on 127.0.0.1. outUrl is
// emptied when no tunnel could be had, and left as it was on the other failures.
bool KYLibCurl::getTPPMUrl(const std::string& clientName, const std::string& url, std::string& outUrl,
                           bool useDynamicTppm) {
    return UnlessOutOfMemory(kResolutionTag, false, [&] {
        Resolution resolution = ResolveRoute(clientName, url, useDynamicTppm);
        if (resolution.resolved) outUrl = std::move(resolution.route.url);
        if (resolution.noTunnel) outUrl.clear();
        return resolution.resolved;
    });
}
