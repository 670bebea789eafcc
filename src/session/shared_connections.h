// The process's one libcurl share: the connection cache, TLS sessions and the DNS cache of every session
// (never cookies), so that a session made for one call reuses what the sessions before it left.
#ifndef KYLIBCURL_SESSION_SHARED_CONNECTIONS_H
#define KYLIBCURL_SESSION_SHARED_CONNECTIONS_H

namespace kylibcurl::detail {

// Puts the share on a new handle, with the limit of kept connections that goes with the sessions now
// holding it; nothing happens while KYLibCurlGlobal::ShareConnections(false) holds. False, after one log
// line, when the share could not be made or set: the handle then works alone, as an unshared one does.
bool JoinSharedConnections(void* handle);

// Forgets handle as a holder of the share; called once the handle was cleaned up (handle is only a key).
// While sharing is off, the share ends with the last handle that held it.
void LeaveSharedConnections(void* handle);

}  // namespace kylibcurl::detail

#endif
