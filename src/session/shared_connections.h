// The process's pool of libcurl shares: connection caches, TLS sessions and DNS caches that the sessions
// of the process take turns with (never cookies), so that a session made for one call reuses what the
// sessions before it left. libcurl's connection cache must not be used by concurrent threads, so a share
// is lent to one perform at a time and given back after it.
#ifndef KYLIBCURL_SESSION_SHARED_CONNECTIONS_H
#define KYLIBCURL_SESSION_SHARED_CONNECTIONS_H

#include <curl/curl.h>

namespace kylibcurl::detail {

// Notes a new handle as one that borrows a share for each of its performs, and sets the limit of kept
// connections that goes with the sessions now sharing; nothing happens while
// KYLibCurlGlobal::ShareConnections(false) holds.
void JoinSharedConnections(void* handle);

// Forgets handle as a sharing one; called once the handle was cleaned up (handle is only a key).
void LeaveSharedConnections(void* handle);

// Cleans handle up through the facade, then forgets it as a sharing one. The cleanups of sharing handles
// run one at a time: libcurl still sets the process's SIGPIPE handler around each.
void CleanUpHandle(void* handle);

// Called after the caller set option on handle through a raw option setter. An option that libcurl does
// not compare when it hands out a kept connection (a resolve pin, a bound local end, a TLS or socket
// callback, the caller's own share, ...) keeps the handle out of the pool for the rest of its life: it then
// gets only connections it made itself, and a share of the caller's stays in place.
void NoteRawOption(void* handle, CURLoption option);

struct PooledShare;

// The pool across fork(): its lock is held around fork(), so the child finds the pool settled, or not yet
// built; the child starts with no share of its parent's. Called from the library's fork handlers, after
// its other locks are taken.
void LockSharePoolForFork();
void UnlockSharePoolAfterFork();
void StartSharePoolInChild();

// Lends handle a share from the pool for the life of the object, if the handle joined, and gives it back
// after: the most recently given back first, as it holds the freshest connections. A handle that gets
// none (it did not join, it is already performing on this thread, or no share could be made) performs
// alone. A share set on the handle with curl_easy_setopt directly, which the session cannot see, is replaced
// by the lent one, and the handle holds none after; one set through a raw option setter keeps the handle
// out of the pool (NoteRawOption).
// A transfer through a tunnel (throughTunnel) borrows a share without a DNS cache.
class SharedConnectionsScope {
  public:
    SharedConnectionsScope(void* handle, bool throughTunnel);
    ~SharedConnectionsScope();
    // The handle shares, but no share could be made for it (out of memory).
    bool noShare() const { return m_noShare; }
    SharedConnectionsScope(const SharedConnectionsScope&) = delete;
    SharedConnectionsScope& operator=(const SharedConnectionsScope&) = delete;

  private:
    void* m_handle;
    PooledShare* m_share;
    bool m_noShare;
};

}  // namespace kylibcurl::detail

#endif
