// The process-local recursive lock of the utility library.
#include <gtest/gtest.h>

#include "KyCriticalSectionH.h"
#include "support/other_thread.h"

namespace kytest {
namespace {

TEST(KyCriticalSectionH, OwnerEntersAgainAndOthersWaitUntilTheLastLeave) {
    KyCriticalSectionH lock;
    ASSERT_TRUE(lock.enter(true));
    ASSERT_TRUE(lock.enter(true));
    ASSERT_TRUE(lock.enter(false));
    EXPECT_FALSE(EntersFromAnotherThread(lock));

    lock.leave();
    lock.leave();
    EXPECT_FALSE(EntersFromAnotherThread(lock));

    lock.leave();
    EXPECT_TRUE(EntersFromAnotherThread(lock));
}

}  // namespace
}  // namespace kytest
