#include "session/shared_connections.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_option.h"
#include "platform/globals.h"
#include "platform/no_throw.h"

using kylibcurl::detail::PooledShare;
using kylibcurl::detail::UnlessOutOfMemory;

namespace kylibcurl::detail {

// One libcurl share and the data locks it hands libcurl. Only one thread uses it at a time, so the locks
// are never contended; libcurl takes them all the same.
struct PooledShare {
    CURLSH* curl = nullptr;
    unsigned generation = 0;  // the process it was made in: a forked child never uses its parent's shares
    bool sharesNames = true;  // holds a DNS cache; shares lent to transfers through tunnels hold none
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
};

}  // namespace kylibcurl::detail

namespace {

// libcurl closes the oldest idle connection of a share's cache once the cache holds more than the limit
// of the handle that gives one back, and its own default (5) would close connections to the sixth
// server a thread talks to. The limit follows the sessions that share, as libcurl's multi interface sizes
// its cache for the handles it holds.
constexpr long kMinKeptConnections = 16;
constexpr long kKeptConnectionsPerSession = 4;

const char kInitTag[] = "KYLibCurl::KYLibCurlInit";
const char kShareTag[] = "KYLibCurl::SharedConnections";

class SharePool;

std::atomic<bool> g_sharingOn{true};
// The process's pool, once built; never freed.
std::atomic<SharePool*> g_pool{nullptr};
// Set under g_poolLock once the pool is gone (the library unloads or the process exits): sessions made or
// performing later, in other objects' destructors or other threads, work alone.
std::atomic<bool> g_poolGone{false};
// Guards the pool. Constant-initialised and never destroyed, so a thread that gives a share back while the
// process exits still finds it.
std::mutex g_poolLock;
// Shares that are never cleaned up: a parent's, which its forked child must not close (closing a TLS
// connection writes to it), and one given back after the pool ended. Never freed, and so still reachable,
// not leaked, when the process ends.
std::vector<PooledShare*>* g_abandoned = nullptr;
// libcurl 7.88 closes a handle's own connection cache with a handle of its own that takes
// CURLOPT_NOSIGNAL only from a transfer that used that cache: a handle whose transfers all used a share
// sets and restores the process's SIGPIPE handler once more as it is cleaned up. Two threads doing that at
// once could leave the handler ignored for good; one at a time, each puts back what it found. Held across
// fork() before g_poolLock, and never while g_poolLock is held.
std::mutex g_cleanupLock;

// Without memory to note it, the share is only forgotten: it is never freed either way.
void AbandonLocked(PooledShare* share) {
    UnlessOutOfMemory(kShareTag, false, [share] {
        if (!g_abandoned) g_abandoned = new std::vector<PooledShare*>;
        g_abandoned->push_back(share);
        return true;
    });
}

void LockData(CURL*, curl_lock_data data, curl_lock_access, void* share) {
    static_cast<PooledShare*>(share)->locks[data].lock();
}

void UnlockData(CURL*, curl_lock_data data, void* share) {
    static_cast<PooledShare*>(share)->locks[data].unlock();
}

// The transfer facade has no share operations, so shares are made and cleaned up with libcurl's
// curl_share_* calls directly: the one place the library calls libcurl past the facade. Handles still
// take them through the facade's Curl_easy_setopt.
//
// libcurl walks a transfer's whole DNS cache at the end of every transfer to drop stale entries. A tunnel
// is reached at a numeric loopback address that needs no resolving, but each tunnel's port is an entry of
// its own, kept for a minute: in a shared cache, tunnels set up and given back in turn would make every
// transfer of the process walk them all. Transfers through tunnels share connections and TLS sessions
// only.
bool Configure(PooledShare& share) {
    static const curl_lock_data kShared[] = {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_SSL_SESSION,
                                             CURL_LOCK_DATA_DNS};
    const size_t sharedCount = share.sharesNames ? 3 : 2;
    CURLSHcode res = curl_share_setopt(share.curl, CURLSHOPT_USERDATA, static_cast<void*>(&share));
    if (res == CURLSHE_OK) res = curl_share_setopt(share.curl, CURLSHOPT_LOCKFUNC, LockData);
    if (res == CURLSHE_OK) res = curl_share_setopt(share.curl, CURLSHOPT_UNLOCKFUNC, UnlockData);
    for (size_t i = 0; i < sharedCount && res == CURLSHE_OK; ++i)
        res = curl_share_setopt(share.curl, CURLSHOPT_SHARE, kShared[i]);
    if (res == CURLSHE_OK) return true;
    m_dbg.DebugLvl(kShareTag, -1, "curl_share_setopt failed err:[%s]", curl_share_strerror(res));
    return false;
}

PooledShare* MakeShare(unsigned generation, bool sharesNames) {
    auto* share = new PooledShare;
    share->generation = generation;
    share->sharesNames = sharesNames;
    share->curl = curl_share_init();
    if (!share->curl) {
        m_dbg.DebugLvl(kShareTag, -1, "curl_share_init returned error");
        delete share;
        return nullptr;
    }
    if (Configure(*share)) return share;
    curl_share_cleanup(share->curl);
    delete share;
    return nullptr;
}

// Closes the share's kept connections and empties its caches. libcurl refuses while a handle still holds
// the share; it is then left alone.
void EndShare(PooledShare* share) {
    if (curl_share_cleanup(share->curl) == CURLSHE_OK) {
        delete share;
        return;
    }
    std::lock_guard<std::mutex> guard(g_poolLock);
    AbandonLocked(share);
}

// Idle shares, the most recently given back last: [0] for direct transfers, [1] for transfers through
// tunnels.
using IdleShares = std::array<std::vector<PooledShare*>, 2>;

void EndShares(const IdleShares& shares) {
    for (const std::vector<PooledShare*>& idle : shares)
        for (PooledShare* share : idle) EndShare(share);
}

class SharePool {
  public:
    // Built by the first session that joins, after libcurl's initialisation, so that its end is registered
    // after the TLS library's exit handler and runs before it, while the TLS library can still close the
    // kept connections. Built under g_poolLock, which fork() never finds held: a child never inherits a
    // pool half built.
    static SharePool& Instance() {
        SharePool* pool = g_pool.load(std::memory_order_acquire);
        if (pool) return *pool;
        std::lock_guard<std::mutex> guard(g_poolLock);
        pool = g_pool.load(std::memory_order_relaxed);
        if (pool) return *pool;
        pool = new SharePool;
        g_pool.store(pool, std::memory_order_release);
        atexit(EndAtExit);
        return *pool;
    }

    // The idle shares hold the parent's connections: the child must neither use them nor close them. A
    // share lent across fork (the forking thread was performing) is abandoned when it comes back. The
    // sessions the child inherited still share, from the child's own shares.
    void StartEmptyInChild() {
        for (std::vector<PooledShare*>& idle : m_idle) {
            for (PooledShare* share : idle) AbandonLocked(share);
            idle.clear();
        }
        ++m_generation;
    }

    long Join(void* handle) {
        std::lock_guard<std::mutex> guard(g_poolLock);
        if (g_poolGone.load(std::memory_order_relaxed)) return 0;
        ++m_holders[handle].joins;
        ++m_joins;
        return std::max(kMinKeptConnections, kKeptConnectionsPerSession * m_joins);
    }

    void Leave(void* handle) {
        std::lock_guard<std::mutex> guard(g_poolLock);
        if (g_poolGone.load(std::memory_order_relaxed)) return;
        auto holder = m_holders.find(handle);
        if (holder == m_holders.end()) return;
        if (!holder->second.apart) --m_joins;
        if (--holder->second.joins == 0) m_holders.erase(holder);
    }

    // The handle borrows shares: none of its transfers used its own connection cache.
    bool Shares(void* handle) {
        std::lock_guard<std::mutex> guard(g_poolLock);
        auto holder = m_holders.find(handle);
        return holder != m_holders.end() && !holder->second.apart;
    }

    // From now on the handle borrows no share; it no longer counts among the sessions that share.
    void SetApart(void* handle) {
        std::lock_guard<std::mutex> guard(g_poolLock);
        if (g_poolGone.load(std::memory_order_relaxed)) return;
        auto holder = m_holders.find(handle);
        if (holder == m_holders.end() || holder->second.apart) return;
        holder->second.apart = true;
        --m_joins;
    }

    // The share most recently given back, or a new one; null when handle did not join or already
    // holds one (a perform on the same handle from inside its own transfer, which libcurl refuses), and
    // null with noShare set when none could be made.
    PooledShare* Lend(void* handle, bool throughTunnel, bool& noShare) {
        std::lock_guard<std::mutex> guard(g_poolLock);
        if (g_poolGone.load(std::memory_order_relaxed)) return nullptr;
        auto holder = m_holders.find(handle);
        if (holder == m_holders.end() || holder->second.holding || holder->second.apart) return nullptr;
        std::vector<PooledShare*>& idle = m_idle[throughTunnel];
        PooledShare* share = nullptr;
        if (idle.empty()) {
            share = MakeShare(m_generation, !throughTunnel);
            noShare = share == nullptr;
        } else {
            share = idle.back();
            idle.pop_back();
        }
        holder->second.holding = share != nullptr;
        return share;
    }

    // Keeps the share for the next perform, unless sharing was turned off meanwhile (it is then cleaned
    // up), or it belongs to a parent process or outlived the pool (it is then left alone).
    void GiveBack(void* handle, PooledShare* share) {
        {
            std::lock_guard<std::mutex> guard(g_poolLock);
            if (g_poolGone.load(std::memory_order_relaxed)) {
                AbandonLocked(share);
                return;
            }
            auto holder = m_holders.find(handle);
            if (holder != m_holders.end()) holder->second.holding = false;
            if (share->generation != m_generation) {
                AbandonLocked(share);
                return;
            }
            // A share that cannot be kept for want of memory ends like one given back with sharing off.
            if (g_sharingOn.load(std::memory_order_relaxed) && KeepIdleLocked(share)) return;
        }
        EndShare(share);
    }

    void EndIdleShares() {
        IdleShares idle;
        {
            std::lock_guard<std::mutex> guard(g_poolLock);
            if (g_poolGone.load(std::memory_order_relaxed)) return;
            idle = TakeIdleLocked();
        }
        EndShares(idle);
    }

  private:
    SharePool() = default;

    // The pool itself stays, reachable, for threads that still give shares back while the process exits;
    // shares still lent are left alone: those threads give them back to no pool.
    static void EndAtExit() {
        SharePool* pool = g_pool.load(std::memory_order_acquire);
        IdleShares idle;
        {
            std::lock_guard<std::mutex> guard(g_poolLock);
            g_poolGone.store(true, std::memory_order_relaxed);
            idle = pool->TakeIdleLocked();
        }
        EndShares(idle);
    }

    bool KeepIdleLocked(PooledShare* share) {
        return UnlessOutOfMemory(kShareTag, false, [&] {
            m_idle[!share->sharesNames].push_back(share);
            return true;
        });
    }

    // Taken by a swap, which needs no memory: the shares end even when none is left.
    IdleShares TakeIdleLocked() {
        IdleShares taken;
        taken.swap(m_idle);
        return taken;
    }

    struct Holder {
        long joins = 0;        // a handle freed and made again at the same address may join twice
        bool holding = false;  // performing with a lent share
        bool apart = false;    // given a setting that keeps its connections its own
    };

    std::unordered_map<void*, Holder> m_holders;  // handles that joined, until they were cleaned up
    long m_joins = 0;
    IdleShares m_idle;
    unsigned m_generation = 0;
};

bool PoolUsable() {
    return g_pool.load(std::memory_order_acquire) && !g_poolGone.load(std::memory_order_acquire);
}

// The options that shape a connection but that libcurl 7.88 does not compare when it hands a transfer a
// kept connection (ConnectionExists compares scheme, host, port, proxy, connect-to and the TLS
// verification settings; a bound local end only when the new transfer binds too): an address pinned by a
// resolve entry or reached through another DNS, a bound local end, socket and TLS callbacks (a TLS
// callback that pins a certificate runs only for a new connection), the credentials and headers sent to a
// proxy when the tunnel through it is made, the PROXY protocol line. A resolve entry also stays in a shared
// DNS cache after its transfer, and a caller's own share would be replaced by the pool's. A caller's
// connect-to mapping counts too (libcurl compares its target host by name only); the library's own
// mapping of routed requests is not set through the caller's setters and keeps sharing tunnel connections,
// which libcurl tells apart by that mapping's host and port.
bool KeepsConnectionsApart(CURLoption option) {
    switch (option) {
        case CURLOPT_RESOLVE:
        case CURLOPT_CONNECT_TO:
        case CURLOPT_DNS_SERVERS:
        case CURLOPT_DNS_INTERFACE:
        case CURLOPT_DNS_LOCAL_IP4:
        case CURLOPT_DNS_LOCAL_IP6:
        case CURLOPT_DOH_URL:
        case CURLOPT_INTERFACE:
        case CURLOPT_LOCALPORT:
        case CURLOPT_LOCALPORTRANGE:
        case CURLOPT_SOCKOPTFUNCTION:
        case CURLOPT_SOCKOPTDATA:
        case CURLOPT_OPENSOCKETFUNCTION:
        case CURLOPT_OPENSOCKETDATA:
        case CURLOPT_CLOSESOCKETFUNCTION:
        case CURLOPT_CLOSESOCKETDATA:
        case CURLOPT_SSL_CTX_FUNCTION:
        case CURLOPT_SSL_CTX_DATA:
        case CURLOPT_PROXYUSERPWD:
        case CURLOPT_PROXYUSERNAME:
        case CURLOPT_PROXYPASSWORD:
        case CURLOPT_PROXYHEADER:
        case CURLOPT_HAPROXYPROTOCOL:
        case CURLOPT_SHARE:
            return true;
        default:
            return false;
    }
}

}  // namespace

void KYLibCurlGlobal::ShareConnections(bool on) {
    g_sharingOn.store(on, std::memory_order_relaxed);
    if (on || !PoolUsable()) return;
    SharePool::Instance().EndIdleShares();
}

namespace kylibcurl::detail {

void LockSharePoolForFork() {
    g_cleanupLock.lock();
    g_poolLock.lock();
}

void UnlockSharePoolAfterFork() {
    g_poolLock.unlock();
    g_cleanupLock.unlock();
}

void StartSharePoolInChild() {
    if (SharePool* pool = g_pool.load(std::memory_order_relaxed)) pool->StartEmptyInChild();
    g_poolLock.unlock();
    g_cleanupLock.unlock();
}

void JoinSharedConnections(void* handle) {
    if (!g_sharingOn.load(std::memory_order_relaxed) || g_poolGone.load(std::memory_order_acquire)) return;
    // Without memory for the pool or its note of the handle, the handle performs alone.
    const long limit =
        UnlessOutOfMemory(kInitTag, 0L, [handle] { return SharePool::Instance().Join(handle); });
    // A handle that keeps libcurl's default limit still shares; the failure is only logged.
    if (limit > 0) SetCurlOption(handle, CURLOPT_MAXCONNECTS, limit, kInitTag);
}

void LeaveSharedConnections(void* handle) {
    if (PoolUsable()) SharePool::Instance().Leave(handle);
}

void CleanUpHandle(void* handle) {
    if (PoolUsable() && SharePool::Instance().Shares(handle)) {
        std::lock_guard<std::mutex> oneAtATime(g_cleanupLock);
        CurlWrapper::gCurlWrapper.Curl_easy_cleanup(handle);
    } else {
        CurlWrapper::gCurlWrapper.Curl_easy_cleanup(handle);
    }
    LeaveSharedConnections(handle);
}

void NoteRawOption(void* handle, CURLoption option) {
    if (KeepsConnectionsApart(option) && PoolUsable()) SharePool::Instance().SetApart(handle);
}

SharedConnectionsScope::SharedConnectionsScope(void* handle, bool throughTunnel)
    : m_handle(handle), m_share(nullptr), m_noShare(false) {
    if (!PoolUsable()) return;
    bool noShare = true;  // stays set when an allocation fails
    PooledShare* share = UnlessOutOfMemory(kShareTag, static_cast<PooledShare*>(nullptr), [&] {
        bool none = false;
        PooledShare* lent = SharePool::Instance().Lend(handle, throughTunnel, none);
        noShare = none;
        return lent;
    });
    m_noShare = noShare;
    if (!share) return;
    if (!SetCurlOption(handle, CURLOPT_SHARE, static_cast<void*>(share->curl), kShareTag)) {
        SharePool::Instance().GiveBack(handle, share);
        return;
    }
    m_share = share;
}

// libcurl has put the transfer's connection back into the share's cache by the time the perform returns;
// detaching only drops the handle's pointers to the share's caches.
SharedConnectionsScope::~SharedConnectionsScope() {
    if (!m_share) return;
    SetCurlOption(m_handle, CURLOPT_SHARE, static_cast<void*>(nullptr), kShareTag);
    SharePool::Instance().GiveBack(m_handle, m_share);
}

}  // namespace kylibcurl::detail
