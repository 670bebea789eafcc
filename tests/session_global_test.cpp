// The process-wide initialisation of libcurl and its reference count.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kylibcurl.h"

namespace kytest {
namespace {

TEST(SessionGlobal, InitCountsAndDeInitUncountsWhileLibcurlStaysInitialised) {
    ASSERT_TRUE(KYLibCurlGlobal::Init());
    int start = KYLibCurlGlobal::refCounter;
    EXPECT_TRUE(KYLibCurlGlobal::Init());
    EXPECT_EQ(KYLibCurlGlobal::refCounter, start + 1);
    EXPECT_TRUE(KYLibCurlGlobal::DeInit());
    EXPECT_EQ(KYLibCurlGlobal::refCounter, start);
    EXPECT_TRUE(KYLibCurlGlobal::DeInit());
    EXPECT_EQ(KYLibCurlGlobal::refCounter, start - 1);
    EXPECT_TRUE(KYLibCurlGlobal::m_global_init);  // never torn down
}

TEST(SessionGlobal, ConcurrentInitAndDeInitKeepAnExactCount) {
    ASSERT_TRUE(KYLibCurlGlobal::Init());
    const int start = KYLibCurlGlobal::refCounter;
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    std::atomic<int> failures{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i)
                if (!KYLibCurlGlobal::Init()) ++failures;
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(KYLibCurlGlobal::refCounter, start + kThreads * kRounds);

    threads.clear();
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < kRounds; ++i) KYLibCurlGlobal::DeInit();
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(KYLibCurlGlobal::refCounter, start);
    EXPECT_TRUE(KYLibCurlGlobal::m_global_init);
    KYLibCurlGlobal::DeInit();
}

// DeInit calls beyond the Init calls leave the count at zero; the next Init counts from there.
TEST(SessionGlobal, ExtraDeInitCallsStopAtZero) {
    ASSERT_TRUE(KYLibCurlGlobal::Init());
    const int start = KYLibCurlGlobal::refCounter;
    for (int i = 0; i < start + 3; ++i) EXPECT_TRUE(KYLibCurlGlobal::DeInit());
    EXPECT_EQ(KYLibCurlGlobal::refCounter, 0);
    EXPECT_TRUE(KYLibCurlGlobal::m_global_init);
    ASSERT_TRUE(KYLibCurlGlobal::Init());
    EXPECT_EQ(KYLibCurlGlobal::refCounter, 1);
    for (int i = 1; i < start; ++i) ASSERT_TRUE(KYLibCurlGlobal::Init());
}

// Once libcurl is initialised, a session's initialisation leaves the count alone; releasing a session
// does not touch it either.
TEST(SessionGlobal, SessionsInitialisingOnManyThreadsDoNotTouchTheCount) {
    ASSERT_TRUE(KYLibCurlGlobal::Init());
    const int start = KYLibCurlGlobal::refCounter;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                KYLibCurl session;
                if (!session.KYLibCurlInit()) ++failures;
                session.KYLibCurlDeInit();
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(KYLibCurlGlobal::refCounter, start);
    KYLibCurlGlobal::DeInit();
}

}  // namespace
}  // namespace kytest
