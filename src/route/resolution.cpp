#include "route/resolution.h"

#include <string>

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

constexpr char kTag[] = "KYLibCurl::getTPPMUrl";

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

// Puts into prefixOut the cached tunnel prefix for url's key, or sets up a tunnel and caches its prefix.
// An empty cached prefix counts as none.
bool TunnelPrefix(KYLibCurl& session, const std::string& tunnelName, const std::string& url,
                  const UrlParts& parts, KyFwError& record, std::string& prefixOut) {
    prefixOut.clear();
    TunnelCacheOperation(url, parts, prefixOut, KYLibCurl::TPPM_CACHE_GET);
    DropGoneTunnel(session, url, tunnelName, parts.port, prefixOut);
    if (!prefixOut.empty()) return true;

    const int tunnelPort = KyFwClient::setupTPPM(tunnelName.c_str(), parts.port, nullptr, &record);
    if (tunnelPort == 0) {
        LogSafely(-1, [&] {
            m_dbg.DebugLvl(kTag, -1, "Couldn't setup TPPM port, err:[%s]",
                           BoundedText(record.m_message).c_str());
        });
        return false;
    }
    // Formatted by the string helpers' Format, one of the calls the companions' contract names.
    prefixOut = parts.prefix + "127.0.0.1" + ":" + FXString::Format("%d", tunnelPort);
    TunnelCacheOperation(url, parts, prefixOut, KYLibCurl::TPPM_CACHE_ADD);
    return true;
}

// The host and port a cached prefix names ("127.0.0.1:5999" of "http://127.0.0.1:5999"). Its scheme is
// the one of the URL that set the tunnel up, not necessarily the request's: it plays no part. Callers
// may cache prefixes of their own, so one without "://" is taken as host and port as it stands.
std::string TunnelAuthority(const std::string& prefix) {
    const UrlParts parts = SplitUrl(prefix);
    if (!parts.valid) return prefix;
    return prefix.substr(parts.hostPos, parts.pathPos - parts.hostPos);
}

}  // namespace

namespace kylibcurl::detail {

bool ResolveTppmUrl(KYLibCurl& session, const std::string& clientName, const std::string& url,
                    std::string& outUrl, bool useDynamicTppm, TunnelRoute* routeOut) {
    KyFwError record;  // shared by both firewall calls, never cleared in between
    const FirewallNames names = NamesForClient(clientName);

    if (!useDynamicTppm) {
        switch (AskFirewall(names.hostName, record)) {
            case Reachability::Undecided:
                LogSafely(-1, [&] {
                    m_dbg.DebugLvl(kTag, -1, "Not sure client \"%s\" firewalled or not, err:[%s]",
                                   BoundedText(clientName).c_str(), BoundedText(record.m_message).c_str());
                });
                return false;
            case Reachability::Direct:
                outUrl = url;
                if (routeOut) *routeOut = TunnelRoute();
                return true;
            case Reachability::Tunnel:
                break;
        }
    }

    // Without "://" there is no host to replace, and a tunnel URL built from it would be unusable.
    const UrlParts parts = SplitUrl(url);
    if (!parts.valid) {
        LogSafely(-1, [&] {
            m_dbg.DebugLvl(kTag, -1, "Couldn't build TPPM url, no scheme in url:[%s]",
                           LoggedUrl(url).c_str());
        });
        return false;
    }
    std::string prefix;
    if (!TunnelPrefix(session, names.tunnelName, url, parts, record, prefix)) {
        outUrl.clear();
        return false;
    }

    // The request keeps its own scheme and user information: only host and port name the tunnel.
    const std::string tunnel = TunnelAuthority(prefix);
    outUrl = parts.prefix + parts.userInfo + tunnel;
    outUrl.append(url, parts.pathPos, std::string::npos);
    if (routeOut) *routeOut = TunnelRoute{true, tunnel, IsHttpsPrefix(parts.prefix)};
    LogSafely(7, [&] { m_dbg.DebugLvl(kTag, 7, "TPPM url:[%s]", LoggedUrl(outUrl).c_str()); });
    return true;
}

}  // namespace kylibcurl::detail

// Gives the URL a routed request goes to: url itself when the firewall client reaches the client
// directly, otherwise url with its host and port replaced by those of a tunnel on 127.0.0.1.
// A dynamic route always goes through a tunnel and asks the firewall client nothing.
bool KYLibCurl::getTPPMUrl(const std::string& clientName, const std::string& url, std::string& outUrl,
                           bool useDynamicTppm) {
    return UnlessOutOfMemory(kTag, false, [&] {
        return kylibcurl::detail::ResolveTppmUrl(*this, clientName, url, outUrl, useDynamicTppm, nullptr);
    });
}

namespace {

constexpr char kProbeTag[] = "KYLibCurlDynamiceTppmCheck";

bool Probe(KYLibCurl& session, const std::string& url, const std::string& clientName, bool& useDynamicTppm) {
    bool answered = false;
    const char* const body = "";

    // A dynamic attempt must set up a fresh tunnel, not reuse one that may be stale.
    ForgetTunnel(session, url);

    if (useDynamicTppm &&
        session.KYLibCurlSendHttpReq2(HTTP_REQ_POST, url.c_str(), body, 0, false, clientName.c_str(), true)) {
        answered = true;
        // The probe's tunnel is not left behind for later requests.
        ForgetTunnel(session, url);
    } else if (session.KYLibCurlSendHttpReq(HTTP_REQ_POST, url.c_str(), body, 0, false, clientName.c_str())) {
        useDynamicTppm = false;
        answered = true;
    }

    m_dbg.DebugLvl(kProbeTag, 4, "useDynamicTppm [%s]", useDynamicTppm ? "true" : "false");
    return answered;
}

}  // namespace

// Finds out with real requests whether the client answers by the dynamic TPPM route (tried first when
// useDynamicTppm is true on entry) or by the ordinary routed path. useDynamicTppm reports the route
// that answered, and keeps its value when neither did.
bool KYLibCurl::KYLibCurlDynamiceTppmCheck(const std::string& url, const std::string& clientName,
                                           bool& useDynamicTppm) {
    return UnlessOutOfMemory(kProbeTag, false, [&] { return Probe(*this, url, clientName, useDynamicTppm); });
}
