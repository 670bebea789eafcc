// The recursive lock with owner tracking that guards the tunnel cache.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

// The lock is internal to the library (not exported): the test links its objects (kylibcurl_internals).
#include "platform/fx_critical_section.h"
#include "support/other_thread.h"

namespace kytest {
namespace {

uint32_t Me() { return static_cast<uint32_t>(GetCurrentThreadId()); }

// True when another thread can take the lock at once (it releases it again).
bool FreeForOthers(FXCriticalSection& lock) {
    return OnOtherThread([&] {
        bool taken = lock.TryLock();
        if (taken) lock.Unlock();
        return taken;
    });
}

TEST(FXCriticalSection, FreshLockIsFreeWithNoOwner) {
    FXCriticalSection lock;
    EXPECT_EQ(lock.lockOwner(), 0u);
    EXPECT_TRUE(FreeForOthers(lock));
}

TEST(FXCriticalSection, NestedLockReleasesOnlyAtTheOuterUnlock) {
    FXCriticalSection lock;
    lock.Lock();
    lock.Lock();
    EXPECT_EQ(lock.lockOwner(), Me());
    lock.Unlock();
    EXPECT_EQ(lock.lockOwner(), 0u);  // cleared although still held once
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(); }));
    lock.Unlock();
    EXPECT_TRUE(FreeForOthers(lock));
}

TEST(FXCriticalSection, TryLockByTheHolderSucceedsAndByOthersFails) {
    FXCriticalSection lock;
    ASSERT_TRUE(lock.TryLock());
    EXPECT_EQ(lock.lockOwner(), Me());
    EXPECT_TRUE(lock.TryLock());  // recursion
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(); }));
    EXPECT_EQ(lock.lockOwner(), Me());  // a failed try leaves the owner
    lock.Unlock();
    lock.Unlock();
}

TEST(FXCriticalSection, TimedTryLockMakesOneAttemptWhateverTheInterval) {
    FXCriticalSection lock;
    lock.Lock();
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(CTimeInterval(int64_t{60} * 1000 * 1000)); }));
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(CTimeInterval(-1)); }));
    EXPECT_TRUE(lock.TryLock(CTimeInterval(0)));
    lock.Unlock();
    lock.Unlock();
}

TEST(FXCriticalSection, WorksThroughTheBaseInterface) {
    FXCriticalSection lock;
    FXLockableResource& base = lock;
    EXPECT_TRUE(base.TryLock(CTimeInterval(5)));
    EXPECT_EQ(base.lockOwner(), Me());
    base.Unlock();
    EXPECT_EQ(base.lockOwner(), 0u);
}

// The unmatched unlock never reaches the mutex (Boost asserts on it in Debug builds, ThreadSanitizer
// reports it), also while another thread holds the lock.
TEST(FXCriticalSection, UnmatchedUnlockOnlyClearsTheOwner) {
    FXCriticalSection lock;
    lock.Unlock();
    EXPECT_EQ(lock.lockOwner(), 0u);
    EXPECT_TRUE(lock.TryLock());
    EXPECT_EQ(lock.lockOwner(), Me());
    lock.Unlock();

    lock.Lock();
    lock.Lock();
    OnOtherThread([&] {
        lock.Unlock();
        return 0;
    });
    EXPECT_EQ(lock.lockOwner(), 0u);
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(); }));  // still held twice by this thread
    lock.Unlock();
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(); }));
    lock.Unlock();
    EXPECT_TRUE(FreeForOthers(lock));
}

TEST(FXCriticalSection, ExcludesOtherThreadsUnderContention) {
    FXCriticalSection lock;
    int counter = 0;
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                lock.Lock();
                lock.Lock();
                ++counter;
                lock.Unlock();
                lock.Unlock();
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(counter, 40000);
}

}  // namespace
}  // namespace kytest
