// The process's pool of libcurl shares: connection caches, TLS sessions and DNS caches that the sessions
// of the process take turns with (never cookies), so that a session made for one call reuses what the
// sessions before it left. libcurl's connection cache must not be used by concurrent threads, so a share
// is lent to one perform at a time and given back after it.
#ifndef KYLIBCURL_SESSION_SHARED_CONNECTIONS_H
#define KYLIBCURL_SESSION_SHARED_CONNECTIONS_H

namespace kylibcurl::detail {

// Notes a new handle as one that borrows a share for each of its performs, and sets the limit of kept
// connections that goes with the sessions now sharing; nothing happens while
// KYLibCurlGlobal::ShareConnections(false) holds.
void JoinSharedConnections(void* handle);

// Forgets handle as a sharing one; called once the handle was cleaned up (handle is only a key).
void LeaveSharedConnections(void* handle);

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
// alone. A share set on the handle directly is replaced by the lent one, and the handle holds none after.
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
