#include "session/shared_connections.h"

#include <curl/curl.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_result.h"

using kylibcurl::detail::CurlSucceeded;

namespace {

// libcurl closes the oldest idle connection of a shared cache once the cache holds more than the limit of
// the handle that gives one back, and its own default (5) would close connections as fast as eight
// threads hand them back. The limit follows the sessions that hold the share, as libcurl's multi
// interface sizes its cache for the handles it holds.
constexpr long kMinKeptConnections = 16;
constexpr long kKeptConnectionsPerSession = 4;

const char kTag[] = "KYLibCurl::KYLibCurlInit";

std::atomic<bool> g_sharingOn{true};
// Set once the share's owner is gone (the library unloads or the process exits): sessions made later, by
// other objects' destructors, work alone.
std::atomic<bool> g_ownerGone{false};
std::atomic<bool> g_ownerBuilt{false};
// The shares of parent processes, which sessions a child inherited may still hold. Never freed, and so
// still reachable, not leaked, when the child ends.
std::vector<CURLSH*>* g_inheritedShares = nullptr;

// The transfer facade has no share operations, so the share itself is made and cleaned up with libcurl's
// curl_share_* calls directly: the one place the library calls libcurl past the facade. Handles still
// take it through the facade's Curl_easy_setopt.
class ConnectionShare {
  public:
    // Built on the first session that joins, after libcurl's initialisation: its destructor is then
    // registered after the TLS library's exit handler and runs before it, while the TLS library can still
    // close the kept connections.
    static ConnectionShare& Instance() {
        static ConnectionShare share;
        return share;
    }

    bool Join(void* handle) {
        std::lock_guard<std::mutex> guard(m_registryLock);
        if (!m_share && !Create()) return false;
        if (!CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, CURLOPT_SHARE,
                                                                      static_cast<void*>(m_share)),
                           kTag, "failed to set curl option:[CURLOPT_SHARE] err:[%s]"))
            return false;
        m_holders.insert(handle);
        const long limit =
            std::max(kMinKeptConnections, kKeptConnectionsPerSession * static_cast<long>(m_holders.size()));
        // A handle that keeps libcurl's default limit still shares; the failure is only logged.
        CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, CURLOPT_MAXCONNECTS, limit), kTag,
                      "failed to set curl option:[CURLOPT_MAXCONNECTS] err:[%s]");
        return true;
    }

    void Leave(void* handle) {
        std::lock_guard<std::mutex> guard(m_registryLock);
        auto holder = m_holders.find(handle);
        if (holder != m_holders.end()) m_holders.erase(holder);
        if (!g_sharingOn.load(std::memory_order_relaxed)) EndUnusedShareLocked();
    }

    void EndUnusedShare() {
        std::lock_guard<std::mutex> guard(m_registryLock);
        EndUnusedShareLocked();
    }

  private:
    ConnectionShare() {
        // Whatever thread forks, the child finds the share's state settled: every lock is taken around
        // fork(), the connection cache before the DNS cache, as libcurl nests them.
        pthread_atfork([] { Instance().LockAll(); }, [] { Instance().UnlockAll(); },
                       [] { Instance().StartEmptyInChild(); });
        g_ownerBuilt.store(true, std::memory_order_release);
    }

    // With sessions still alive the share stays (libcurl refuses to clean up a share in use), and so do
    // its locks, which those sessions' handles still take.
    ~ConnectionShare() {
        g_ownerGone.store(true, std::memory_order_release);
        std::lock_guard<std::mutex> guard(m_registryLock);
        if (m_share && curl_share_cleanup(m_share) == CURLSHE_OK) m_share = nullptr;
        if (m_share) m_locks.release();
    }

    using DataLocks = std::array<std::mutex, CURL_LOCK_DATA_LAST>;

    // Closes the kept connections and empties the caches once no handle holds the share any more; the
    // next session that joins makes a new one.
    void EndUnusedShareLocked() {
        if (m_share && m_holders.empty() && curl_share_cleanup(m_share) == CURLSHE_OK) m_share = nullptr;
    }

    bool Create() {
        CURLSH* share = curl_share_init();
        if (!share) {
            m_dbg.DebugLvl(kTag, -1, "curl_share_init returned error");
            return false;
        }
        if (!Configure(share)) {
            curl_share_cleanup(share);
            return false;
        }
        m_share = share;
        return true;
    }

    bool Configure(CURLSH* share) {
        static const curl_lock_data kShared[] = {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_SSL_SESSION,
                                                 CURL_LOCK_DATA_DNS};
        CURLSHcode res = curl_share_setopt(share, CURLSHOPT_USERDATA, static_cast<void*>(m_locks.get()));
        if (res == CURLSHE_OK) res = curl_share_setopt(share, CURLSHOPT_LOCKFUNC, LockData);
        if (res == CURLSHE_OK) res = curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, UnlockData);
        for (curl_lock_data data : kShared) {
            if (res == CURLSHE_OK) res = curl_share_setopt(share, CURLSHOPT_SHARE, data);
        }
        if (res == CURLSHE_OK) return true;
        m_dbg.DebugLvl(kTag, -1, "curl_share_setopt failed err:[%s]", curl_share_strerror(res));
        return false;
    }

    static void LockData(CURL*, curl_lock_data data, curl_lock_access, void* locks) {
        (*static_cast<DataLocks*>(locks))[data].lock();
    }

    static void UnlockData(CURL*, curl_lock_data data, void* locks) {
        (*static_cast<DataLocks*>(locks))[data].unlock();
    }

    // The order in which the fork handlers take the data locks: libcurl holds the connection cache's
    // while it takes the DNS cache's, and takes the others alone.
    static constexpr curl_lock_data kForkOrder[] = {
        CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_DNS,  CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_COOKIE,
        CURL_LOCK_DATA_PSL,     CURL_LOCK_DATA_HSTS, CURL_LOCK_DATA_SHARE};

    void LockAll() {
        m_registryLock.lock();
        for (curl_lock_data data : kForkOrder) (*m_locks)[data].lock();
    }

    void UnlockAll() {
        for (curl_lock_data data : kForkOrder) (*m_locks)[data].unlock();
        m_registryLock.unlock();
    }

    // The kept connections are the parent's: the child must neither use them for its new sessions nor
    // close them (closing a TLS connection writes to it). The parent's share stays as it is, for the
    // sessions the child inherited, and new sessions of the child get a share of their own.
    void StartEmptyInChild() {
        if (m_share) {
            if (!g_inheritedShares) g_inheritedShares = new std::vector<CURLSH*>;
            g_inheritedShares->push_back(m_share);
        }
        m_share = nullptr;
        m_holders.clear();
        UnlockAll();
    }

    std::mutex m_registryLock;  // guards everything below; taken before any data lock
    std::unique_ptr<DataLocks> m_locks = std::make_unique<DataLocks>();
    CURLSH* m_share = nullptr;
    std::unordered_multiset<void*> m_holders;  // handles that took m_share, until they were cleaned up
};

}  // namespace

void KYLibCurlGlobal::ShareConnections(bool on) {
    g_sharingOn.store(on, std::memory_order_relaxed);
    if (on || !g_ownerBuilt.load(std::memory_order_acquire) || g_ownerGone.load(std::memory_order_acquire))
        return;
    ConnectionShare::Instance().EndUnusedShare();
}

namespace kylibcurl::detail {

bool JoinSharedConnections(void* handle) {
    if (!g_sharingOn.load(std::memory_order_relaxed) || g_ownerGone.load(std::memory_order_acquire))
        return true;
    return ConnectionShare::Instance().Join(handle);
}

void LeaveSharedConnections(void* handle) {
    if (!g_ownerBuilt.load(std::memory_order_acquire) || g_ownerGone.load(std::memory_order_acquire)) return;
    ConnectionShare::Instance().Leave(handle);
}

}  // namespace kylibcurl::detail
