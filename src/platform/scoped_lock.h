// Holds a lock for one scope, so that no path out of the scope keeps it.
#ifndef KYLIBCURL_PLATFORM_SCOPED_LOCK_H
#define KYLIBCURL_PLATFORM_SCOPED_LOCK_H

#include "platform/fx_lockable_resource.h"

namespace kylibcurl::detail {

class ScopedLock {
  public:
    explicit ScopedLock(FXLockableResource& lock) : m_lock(lock) { m_lock.Lock(); }
    ~ScopedLock() { m_lock.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    FXLockableResource& m_lock;
};

}  // namespace kylibcurl::detail

#endif
