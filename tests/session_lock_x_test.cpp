// KyCriticalSection, the lock of the process-wide initialisation: recursive for its holder, exclusive
// against other threads. Its enter passes on no result, so the test watches what another thread does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

// The class is internal to the library (not exported): this test links the library's objects of it.
#include "kylibcurl.h"

namespace kytest {
namespace {

// Gives a waiting thread a few chances to run; whether it did is not asserted by time.
void LetOthersRun() {
    for (int i = 0; i < 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(KyCriticalSection, IsRecursiveAndExcludesOtherThreads) {
    KyCriticalSection lock;
    lock.enter(true);
    lock.enter(true);  // the holder again: a lock that is not recursive never gets past here
    std::atomic<bool> entered{false};
    std::thread other([&] {
        lock.enter(true);
        entered = true;
        lock.leave();
    });
    LetOthersRun();
    EXPECT_FALSE(entered);
    lock.leave();
    LetOthersRun();
    EXPECT_FALSE(entered);  // still held once
    lock.leave();
    other.join();
    EXPECT_TRUE(entered);
}

}  // namespace
}  // namespace kytest
