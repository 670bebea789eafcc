// Abstract lock interface with a record of the thread that last took the lock.
#ifndef KYLIBCURL_PLATFORM_FX_LOCKABLE_RESOURCE_H
#define KYLIBCURL_PLATFORM_FX_LOCKABLE_RESOURCE_H

#include <cstdint>

#include "platform/portability.h"

// An 8-byte time interval; the locks here take it but never wait on it.
class CTimeInterval {
  public:
    explicit CTimeInterval(int64_t microseconds = 0) : m_microseconds(microseconds) {}
    ~CTimeInterval() {}
    CTimeInterval(const CTimeInterval&) = default;
    CTimeInterval& operator=(const CTimeInterval&) = default;

  private:
    [[maybe_unused]] int64_t m_microseconds;  // kept for the interval's size; nothing reads it
};

class FXLockableResource {
  public:
    FXLockableResource() : m_lockOwner(0) {}
    virtual ~FXLockableResource() {}

    virtual bool TryLock() = 0;
    virtual bool TryLock(CTimeInterval interval) = 0;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;

    uint32_t lockOwner() const { return __atomic_load_n(&m_lockOwner, __ATOMIC_RELAXED); }

  protected:
    // Atomic, since an unmatched Unlock by another thread clears it while the holder may write it.
    void SetLockOwner() {
        __atomic_store_n(&m_lockOwner, static_cast<uint32_t>(GetCurrentThreadId()), __ATOMIC_RELAXED);
    }
    void ClearLockOwner() { __atomic_store_n(&m_lockOwner, uint32_t{0}, __ATOMIC_RELAXED); }

    uint32_t m_lockOwner;
};

// The interval is not read: one attempt through the subclass's TryLock().
inline bool FXLockableResource::TryLock(CTimeInterval) { return TryLock(); }

#endif
