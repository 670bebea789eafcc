// KyCriticalSection, the lock of the process-wide initialisation: enter reports whether it took the lock.
#include <gtest/gtest.h>

// The class is internal to the library (not exported), so this test builds its own copy of it.
#include "kylibcurl.h"
#include "session/ky_critical_section.cpp"  // NOLINT(bugprone-suspicious-include)
#include "support/other_thread.h"

namespace {

using kytest::EntersFromAnotherThread;

TEST(KyCriticalSection, EnterReportsWhetherTheLockWasTaken) {
    KyCriticalSection lock;
    ASSERT_TRUE(lock.enter(true));
    EXPECT_TRUE(lock.enter(false));  // the holder again
    EXPECT_FALSE(EntersFromAnotherThread(lock));
    lock.leave();
    EXPECT_FALSE(EntersFromAnotherThread(lock));
    lock.leave();
    EXPECT_TRUE(EntersFromAnotherThread(lock));
}

}  // namespace
