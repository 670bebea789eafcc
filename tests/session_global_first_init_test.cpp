// The first initialisation in a fresh process (this executable holds only this test).
#include <gtest/gtest.h>

#include "kylibcurl.h"

namespace kytest {
namespace {

TEST(SessionGlobalFirstInit, FirstSessionInitialisesLibcurlAndCountsOnce) {
    ASSERT_FALSE(KYLibCurlGlobal::m_global_init);  // loading the library initialises nothing
    ASSERT_EQ(KYLibCurlGlobal::refCounter, 0);
    EXPECT_TRUE(KYLibCurlGlobal::DeInit());
    EXPECT_EQ(KYLibCurlGlobal::refCounter, 0);  // nothing to uncount before initialisation

    KYLibCurl first, second;
    ASSERT_TRUE(first.KYLibCurlInit());
    EXPECT_TRUE(KYLibCurlGlobal::m_global_init);
    EXPECT_EQ(KYLibCurlGlobal::refCounter, 1);
    ASSERT_TRUE(second.KYLibCurlInit());  // already initialised: not counted again
    EXPECT_EQ(KYLibCurlGlobal::refCounter, 1);
}

}  // namespace
}  // namespace kytest
