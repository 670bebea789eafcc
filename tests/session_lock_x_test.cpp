// KyCriticalSection, the lock of the process-wide initialisation: enter reports whether it took the lock.
#include <gtest/gtest.h>

#include <future>

// The class is internal to the library (not exported), so this test builds its own copy of it.
#include "kylibcurl.h"
#include "session/ky_critical_section.cpp"

namespace {

bool EnterFromAnotherThread(KyCriticalSection& lock) {
    return std::async(std::launch::async,
                      [&lock] {
                          const bool entered = lock.enter(false);
                          if (entered) lock.leave();
                          return entered;
                      })
        .get();
}

TEST(KyCriticalSection, EnterReportsWhetherTheLockWasTaken) {
    KyCriticalSection lock;
    ASSERT_TRUE(lock.enter(true));
    EXPECT_TRUE(lock.enter(false));  // the holder again
    EXPECT_FALSE(EnterFromAnotherThread(lock));
    lock.leave();
    EXPECT_FALSE(EnterFromAnotherThread(lock));
    lock.leave();
    EXPECT_TRUE(EnterFromAnotherThread(lock));
}

}  // namespace
