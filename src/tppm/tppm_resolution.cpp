#include <string>

#include "FXString.h"
#include "KyFwClient.h"
#include "diag/log_text.h"
#include "diag/url_redaction.h"
#include "kylibcurl.h"
#include "platform/file_objects.h"
#include "tppm/gone_tunnel.h"
#include "tppm/url_split.h"

using kylibcurl::detail::BoundedText;
using kylibcurl::detail::DropGoneTunnel;
using kylibcurl::detail::LoggedUrl;
using kylibcurl::detail::LogSafely;
using kylibcurl::detail::SplitUrl;
using kylibcurl::detail::UrlParts;

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
    session.TppmUrlMapInfo(url, prefixOut, KYLibCurl::TPPM_CACHE_GET);
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
    prefixOut = parts.prefix + "127.0.0.1" + ":" + FXString::Format("%d", tunnelPort);
    session.TppmUrlMapInfo(url, prefixOut, KYLibCurl::TPPM_CACHE_ADD);
    return true;
}

}  // namespace

// Gives the URL a routed request goes to: url itself when the firewall client reaches the client
// directly, otherwise url's scheme prefix, "127.0.0.1" and a tunnel port, then url from its path on.
// A dynamic route always goes through a tunnel and asks the firewall client nothing.
bool KYLibCurl::getTPPMUrl(const std::string& clientName, const std::string& url, std::string& outUrl,
                           bool useDynamicTppm) {
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
    if (!TunnelPrefix(*this, names.tunnelName, url, parts, record, outUrl)) return false;

    outUrl.append(url, parts.pathPos, std::string::npos);
    LogSafely(7, [&] { m_dbg.DebugLvl(kTag, 7, "TPPM url:[%s]", LoggedUrl(outUrl).c_str()); });
    return true;
}
