// The two steps of a routed request (one that names a destination client) inside the dispatcher: where
// it goes, and a fresh tunnel after a stale one.
#ifndef KYLIBCURL_ROUTE_ROUTED_REQUEST_H
#define KYLIBCURL_ROUTE_ROUTED_REQUEST_H

#include <curl/curl.h>

#include <string>

#include "kylibcurl.h"
#include "route/resolution.h"

namespace kylibcurl::detail {

// The URL a routed request resolved to, as installed on the handle. A plain URL through a tunnel goes out
// as the TPPM URL itself. An https URL through a tunnel stays the caller's, so that TLS (server name,
// certificate check) and the Host line name the destination as for a direct request. Either way a mapping
// of every host and port to the tunnel carries each connection of the transfer there, a redirect's
// included: a request through a tunnel reaches nothing else. The mapping is the request's own: a
// reconnect replaces it and the end of the request takes it off the handle.
class RoutedUrl {
  public:
    explicit RoutedUrl(KYLibCurl& session) : m_session(session) {}
    ~RoutedUrl() { RemoveMapping(); }
    RoutedUrl(const RoutedUrl&) = delete;
    RoutedUrl& operator=(const RoutedUrl&) = delete;

    // The URL the log lines show: the TPPM URL, or the caller's when the client is reached directly;
    // empty before a resolution.
    const std::string& shown() const { return m_route.url; }
    bool tunnelled() const { return m_route.tunnelled; }

    // Resolves url (ResolveRoute) and installs the route. On false the reason has been
    // logged by the step that failed.
    bool Resolve(const char* clientName, const char* url, bool useDynamicTppm);

    // After a stale tunnel: logs the reconnect line, drops the cached tunnel for url's key, resolves
    // again (asking the firewall client again unless the route is dynamic) and installs the result.
    // On false the request ends.
    bool Reconnect(const char* clientName, const char* url, bool useDynamicTppm);

  private:
    bool Install(const char* url);
    bool MapToTunnel();
    void RemoveMapping();

    KYLibCurl& m_session;
    Route m_route;
    void* m_mappedHandle = nullptr;  // the handle m_mapping is set on
    curl_slist* m_mapping = nullptr;
};

// Whether a transfer to a tunnel ended the way a stale tunnel ends: refused or connected to itself, or cut
// (nothing came back,
// the request could not be sent, the connection was reset) before any reply byte arrived. A tunnel whose
// far side is gone may accept the connection and then close or reset it, and a connection kept from an
// earlier request fails when it is used. Nothing came back from the server behind the tunnel, though the
// request may have reached it: a reconnect may deliver a request twice.
bool TunnelLooksStale(void* handle, CURLcode result);

// Whether the connection of the transfer that just ran was connected to itself. A tunnel's port is free
// once its listener has closed, and the kernel may give a connection to a free port of 127.0.0.1 that
// very port as its own: the socket then reaches itself, and the request comes back as the reply. Nothing
// reached a server, as when the connection is refused.
bool ConnectedToItself(void* handle);

}  // namespace kylibcurl::detail

#endif
