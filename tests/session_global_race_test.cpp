// Many sessions initialising at once in a fresh process (this executable holds only this test). Under the
// thread sanitizer this also checks that reading the initialisation flag without the lock is race-free.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kylibcurl.h"

namespace kytest {
namespace {

TEST(SessionGlobalRace, ConcurrentFirstSessionsInitialiseLibcurlOnce) {
    ASSERT_FALSE(KYLibCurlGlobal::m_global_init);
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            ++ready;
            while (ready.load() < kThreads) std::this_thread::yield();
            KYLibCurl session;
            if (!session.KYLibCurlInit()) ++failures;
        });
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(KYLibCurlGlobal::m_global_init);
    // The one thread that initialised libcurl set the count to 1; threads that raced past the unlocked
    // check into Init found it initialised under the lock and each added one. None initialised it again
    // (which would have reset the count to 1 after others had added to it).
    int count = KYLibCurlGlobal::refCounter;
    EXPECT_GE(count, 1);
    EXPECT_LE(count, kThreads);
}

}  // namespace
}  // namespace kytest
