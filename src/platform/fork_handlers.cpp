#include "platform/fork_handlers.h"

#include <pthread.h>

#include "kylibcurl.h"
#include "platform/file_objects.h"

namespace {

bool g_initLockTaken = false;  // written by the forking thread only, between prepare and parent/child

// The order is the one the library nests them in: the initialisation lock before the cache lock, and
// both before the logger's (whose handlers, registered when the logger's library loaded, run after these).
void takeLocksBeforeFork() {
    g_initLockTaken = KYLibCurlGlobal::m_mutex.enter(true);
    g_handlerLock.Lock();
}

void releaseLocksInParent() {
    g_handlerLock.Unlock();
    if (g_initLockTaken) KYLibCurlGlobal::m_mutex.leave();
}

// Both locks are recursive, and a recursive mutex remembers its holder by the kernel's thread id, which
// the forking thread no longer has in the child: it cannot release them there, so the child builds them
// afresh.
void renewLocksInChild() {
    g_handlerLock.RenewInChild();
    KYLibCurlGlobal::m_mutex.renewInChild();
}

}  // namespace

namespace kylibcurl::detail {

void RegisterForkHandlers() { pthread_atfork(takeLocksBeforeFork, releaseLocksInParent, renewLocksInChild); }

}  // namespace kylibcurl::detail
