// The process-local recursive lock of the utility library.
#include <gtest/gtest.h>

#include <future>

#include "KyCriticalSectionH.h"

namespace {

bool tryFromAnotherThread(KyCriticalSectionH& lock) {
    return std::async(std::launch::async,
                      [&lock] {
                          bool entered = lock.enter(false);
                          if (entered) lock.leave();
                          return entered;
                      })
        .get();
}

TEST(KyCriticalSectionH, OwnerEntersAgainAndOthersWaitUntilTheLastLeave) {
    KyCriticalSectionH lock;
    ASSERT_TRUE(lock.enter(true));
    ASSERT_TRUE(lock.enter(true));
    ASSERT_TRUE(lock.enter(false));
    EXPECT_FALSE(tryFromAnotherThread(lock));

    lock.leave();
    lock.leave();
    EXPECT_FALSE(tryFromAnotherThread(lock));

    lock.leave();
    EXPECT_TRUE(tryFromAnotherThread(lock));
}

}  // namespace
