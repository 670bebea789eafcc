// Recursive critical section with owner tracking; lock errors become results, only construction throws.
#ifndef KYLIBCURL_PLATFORM_FX_CRITICAL_SECTION_H
#define KYLIBCURL_PLATFORM_FX_CRITICAL_SECTION_H

#include <boost/interprocess/sync/interprocess_recursive_mutex.hpp>

#include "platform/fx_lockable_resource.h"

class FXCriticalSection : public FXLockableResource {
  public:
    FXCriticalSection() = default;
    ~FXCriticalSection() override = default;
    FXCriticalSection(const FXCriticalSection&) = delete;
    FXCriticalSection& operator=(const FXCriticalSection&) = delete;

    bool TryLock() override;
    bool TryLock(CTimeInterval interval) override;
    void Lock() override;
    void Unlock() override;

  private:
    boost::interprocess::interprocess_recursive_mutex m_recursiveMutex;
};

#endif
