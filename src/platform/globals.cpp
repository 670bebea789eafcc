#include "platform/globals.h"

#include <pthread.h>

#include "kylibcurl.h"

bool KYLibCurlGlobal::m_global_init = false;
int KYLibCurlGlobal::refCounter = 0;

// Construction order within this one translation unit is the order of definition.
KyCriticalSection KYLibCurlGlobal::m_mutex;
FXCriticalSection g_handlerLock;
EvDebug m_dbg(nullptr);

namespace {

// The library never holds one of its locks while it waits for the other, but it logs while it holds
// either: both are taken before the logger's locks, whose handlers, registered when the logger's library
// loaded, run after these. A blocking enter takes the initialisation lock; its result is not one the lock
// promises.
void takeLocksBeforeFork() {
    KYLibCurlGlobal::m_mutex.enter(true);
    g_handlerLock.Lock();
}

void releaseLocksInParent() {
    g_handlerLock.Unlock();
    KYLibCurlGlobal::m_mutex.leave();
}

// Both locks are recursive, and a recursive mutex remembers its holder by the kernel's thread id, which
// the forking thread no longer has in the child: it cannot release them there, so the child builds them
// afresh.
void renewLocksInChild() {
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
