// Holds the tunnel cache's lock for one scope, so that no path out of a cache operation keeps it.
#ifndef KYLIBCURL_TPPM_HANDLER_LOCK_GUARD_H
#define KYLIBCURL_TPPM_HANDLER_LOCK_GUARD_H

#include "platform/fx_critical_section.h"

class HandlerLockGuard {
  public:
    explicit HandlerLockGuard(FXCriticalSection& lock) : m_lock(lock) { m_lock.Lock(); }
    ~HandlerLockGuard() { m_lock.Unlock(); }
    HandlerLockGuard(const HandlerLockGuard&) = delete;
    HandlerLockGuard& operator=(const HandlerLockGuard&) = delete;

  private:
    FXCriticalSection& m_lock;
};

#endif
