#include "route/routed_request.h"

#include <string>
#include <utility>

#include "CurlWrapper.h"
#include "diag/credential_hiding.h"
#include "diag/log_text.h"
#include "kylibcurl.h"
#include "platform/curl_option.h"
#include "platform/curl_result.h"
#include "platform/globals.h"
#include "request/request_steps.h"
#include "route/resolution.h"
#include "route/tunnel_cache.h"
#include "route/url.h"

namespace kylibcurl::detail {

namespace {

// "::tunnel-host:tunnel-port": every connection of the transfer goes to the tunnel, whatever host and port
// it is for. libcurl matches a mapping's host against the host as it normalised it (127.1 and
// 0177.0.0.1 become 127.0.0.1, percent escapes are decoded, IPv6 literals shortened), so a mapping for
// the host as written would miss those spellings; the empty host and port match every one, and the
// target of a redirect too. A tunnel without a port keeps the URL's.
std::string TunnelMappingFor(const Route& route) {
    const bool tunnelHasPort = PortSeparator(route.tunnel) != std::string::npos;
    return "::" + route.tunnel + (tunnelHasPort ? "" : ":");
}

// The status line is the first reply byte a transfer counts: no header bytes, no reply at all.
bool NothingReceived(void* handle) {
    long headerBytes = -1;
    CurlWrapper::gCurlWrapper.Curl_easy_getinfo(handle, CURLINFO_HEADER_SIZE, &headerBytes);
    return headerBytes == 0;
}

}  // namespace

bool RoutedUrl::Resolve(const char* clientName, const char* url, bool useDynamicTppm) {
    Resolution resolution = ResolveRoute(clientName, url, useDynamicTppm);
    if (!resolution.resolved) return false;
    m_route = std::move(resolution.route);
    return Install(url);
}

// The key comes from the caller's url, under which the stale prefix was cached.
bool RoutedUrl::Reconnect(const char* clientName, const char* url, bool useDynamicTppm) {
    LogSafely(2, [&] {
        m_dbg.DebugLvl(
            kDispatchTag, 2,
            "Unable to connect to dynamic tppm url [%s], refetching tppm url for [%s] and retrying",
            LoggedUrl(m_route.url).c_str(), LoggedUrl(url).c_str());
    });
    ForgetTunnel(ParseUrl(url));
    return Resolve(clientName, url, useDynamicTppm);
}

// A plain URL through a tunnel names the tunnel already; the mapping keeps the transfer's redirects on it
// too.
bool RoutedUrl::Install(const char* url) {
    if (!m_route.tunnelled) {
        RemoveMapping();
        return m_session.KYCurlSetUrl(m_route.url.c_str());
    }
    return m_session.KYCurlSetUrl(m_route.https ? url : m_route.url.c_str()) && MapToTunnel();
}

bool RoutedUrl::MapToTunnel() {
    void* const handle = m_session.m_curlHandle;
    curl_slist* mapping =
        CurlWrapper::gCurlWrapper.Curl_slist_append(nullptr, TunnelMappingFor(m_route).c_str());
    const CURLcode res = mapping ? CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, CURLOPT_CONNECT_TO,
                                                                              static_cast<void*>(mapping))
                                 : CURLE_OUT_OF_MEMORY;
    if (!CurlOptionSucceeded(res, kDispatchTag, CURLOPT_CONNECT_TO)) {
        CurlWrapper::gCurlWrapper.Curl_slist_free_all(mapping);
        RemoveMapping();
        return false;
    }
    // The handle now holds the new mapping; the one it replaced can go.
    CurlWrapper::gCurlWrapper.Curl_slist_free_all(m_mapping);
    m_mapping = mapping;
    m_mappedHandle = handle;
    return true;
}

void RoutedUrl::RemoveMapping() {
    if (!m_mapping) return;
    if (m_session.m_curlHandle == m_mappedHandle) {
        CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_mappedHandle, CURLOPT_CONNECT_TO,
                                                   static_cast<void*>(nullptr));
    }
    CurlWrapper::gCurlWrapper.Curl_slist_free_all(m_mapping);
    m_mapping = nullptr;
    m_mappedHandle = nullptr;
}

bool TunnelLooksStale(void* handle, CURLcode result) {
    if (result != CURLE_OK && ConnectedToItself(handle)) return true;
    switch (result) {
        case CURLE_COULDNT_CONNECT:
            return true;
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return NothingReceived(handle);
        default:
            return false;
    }
}

bool ConnectedToItself(void* handle) {
    long localPort = 0;
    long remotePort = 0;
    CurlWrapper::gCurlWrapper.Curl_easy_getinfo(handle, CURLINFO_LOCAL_PORT, &localPort);
    CurlWrapper::gCurlWrapper.Curl_easy_getinfo(handle, CURLINFO_PRIMARY_PORT, &remotePort);
    // Both ends are 127.0.0.1 on a routed connection: one port for both is one socket.
    return localPort > 0 && localPort == remotePort;
}

}  // namespace kylibcurl::detail
