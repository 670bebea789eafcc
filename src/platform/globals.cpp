#include "platform/globals.h"

#include <pthread.h>

#include "kylibcurl.h"
#include "session/shared_connections.h"

using namespace kylibcurl::detail;

bool KYLibCurlGlobal::m_global_init = false;
int KYLibCurlGlobal::refCounter = 0;

// Construction order within this one translation unit is the order of definition.
KyCriticalSection KYLibCurlGlobal::m_mutex;
FXCriticalSection g_handlerLock;
EvDebug m_dbg(nullptr);

namespace {

// The library never holds one of its locks while it waits for another, but it logs while it holds any:
// all are taken, always in this order, before the locks of the logger and the firewall client, whose
// handlers, registered when their libraries loaded, run after these. A blocking enter takes the
// initialisation lock; its result is not one the lock promises.
void takeLocksBeforeFork() {
    KYLibCurlGlobal::m_mutex.enter(true);
    g_handlerLock.Lock();
    LockSharePoolForFork();
}

void releaseLocksInParent() {
    UnlockSharePoolAfterFork();
    g_handlerLock.Unlock();
    KYLibCurlGlobal::m_mutex.leave();
}

// The initialisation and tunnel cache locks are recursive, and a recursive mutex remembers its holder by
// the kernel's thread id, which the forking thread no longer has in the child: it cannot release them
// there, so the child builds them afresh.
void renewLocksInChild() {
    StartSharePoolInChild();
    g_handlerLock.RenewInChild();
    KYLibCurlGlobal::m_mutex.renewInChild();
}

// After the locks they guard: the handlers use both.
struct ForkHandlerRegistration {
    ForkHandlerRegistration() {
        pthread_atfork(takeLocksBeforeFork, releaseLocksInParent, renewLocksInChild);
    }
};
const ForkHandlerRegistration g_forkHandlerRegistration;

}  // namespace
