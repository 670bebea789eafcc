#include "tppm/gone_tunnel.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "KyFwClient.h"
#include "tppm/tppm_cache.h"

namespace {

using TunnelStateCall = int (*)(int, const char*, int);

// Looked up by name in the library that holds the firewall client, so that this library still loads and
// works beside a firewall client without the call.
TunnelStateCall FindTunnelStateCall() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&KyFwClient::setupTPPM), &info) != 0 && info.dli_fname) {
        void* firewall = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
        if (firewall) {
            void* found = dlsym(firewall, "KyFwTunnelState");
            dlclose(firewall);  // only the reference taken above: the library stays loaded
            if (found) return reinterpret_cast<TunnelStateCall>(found);
        }
    }
    return reinterpret_cast<TunnelStateCall>(dlsym(RTLD_DEFAULT, "KyFwTunnelState"));
}

// The port at the end of a prefix "<scheme>127.0.0.1:<port>"; 0 when it ends otherwise.
int PrefixPort(const std::string& prefix) {
    const size_t colon = prefix.rfind(':');
    if (colon == std::string::npos || colon + 1 == prefix.size()) return 0;
    char* end = nullptr;
    const long port = strtol(prefix.c_str() + colon + 1, &end, 10);
    return *end == '\0' && port > 0 && port <= 65535 ? static_cast<int>(port) : 0;
}

// Looked up while the library loads, before any thread of the process can use it: a lookup made on first use
// could be under way in another thread at fork(), and the child would wait for it for ever.
const TunnelStateCall g_tunnelState = FindTunnelStateCall();

}  // namespace

namespace kylibcurl::detail {

void DropGoneTunnel(KYLibCurl& session, const std::string& url, const std::string& tunnelName, int port,
                    std::string& prefix) {
    const TunnelStateCall tunnelState = g_tunnelState;
    if (!tunnelState || prefix.empty()) return;
    const int localPort = PrefixPort(prefix);
    if (localPort == 0 || tunnelState(localPort, tunnelName.c_str(), port) != KYFW_TUNNEL_GONE) return;
    ForgetTunnel(session, url);
    prefix.clear();
}

}  // namespace kylibcurl::detail
