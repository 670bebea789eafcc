// Recursive critical section with owner tracking; lock errors become results, only construction throws.
#ifndef KYLIBCURL_PLATFORM_FX_CRITICAL_SECTION_H
#define KYLIBCURL_PLATFORM_FX_CRITICAL_SECTION_H

#include <pthread.h>

#include <atomic>
#include <boost/interprocess/sync/interprocess_recursive_mutex.hpp>

#include "platform/fx_lockable_resource.h"

class FXCriticalSection : public FXLockableResource {
  public:
    FXCriticalSection();
    ~FXCriticalSection() override;
    FXCriticalSection(const FXCriticalSection&) = delete;
    FXCriticalSection& operator=(const FXCriticalSection&) = delete;

    bool TryLock() override;
    bool TryLock(CTimeInterval interval) override;
    void Lock() override;
    // Releases one take by the calling thread. An Unlock by a thread that does not hold the lock only
    // clears the owner: it never reaches the mutex, whose release by a non-holder is an error.
    void Unlock() override;
    // In a forked child, where only the forking thread lives: the lock free, as freshly built, whoever held
    // it in the parent. Only fork handlers call it, while no other thread runs.
    void RenewInChild();

  private:
    void NoteTaken();

    // On the heap, so that a forked child can leave the inherited one behind, neither unlocked nor destroyed.
    boost::interprocess::interprocess_recursive_mutex* m_recursiveMutex;
    // The thread that holds the mutex, and how often it took it. Only the holder writes them; other
    // threads read m_holder only to learn that they are not the holder.
    std::atomic<pthread_t> m_holder{pthread_t()};
    unsigned long m_depth = 0;
};

#endif
