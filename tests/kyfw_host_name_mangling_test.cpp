#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "KyFwClient.h"

namespace kytest {
namespace {

struct MangleCase {
    const char* account;
    const char* host;
    int i;
    int j;
    const char* mangled;
};

TEST(KyFwHostNameMangling, MangleJoinsTheFourPartsWithStars) {
    const MangleCase cases[] = {
        {"", "foo", 0, 0, "*foo*0*0"},
        {"acct", "host.example", 12, -3, "acct*host.example*12*-3"},
        {nullptr, nullptr, 0, 0, "**0*0"},
        {"a", "b", INT_MAX, INT_MIN, "a*b*2147483647*-2147483648"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MangleHostName(c.account, c.host, c.i, c.j), c.mangled) << c.mangled;
    }
}

TEST(KyFwHostNameMangling, DemangleGivesBackTheParts) {
    const MangleCase cases[] = {
        {"", "foo", 0, 0, "*foo*0*0"},
        {"acct", "host.example", 12, -3, "acct*host.example*12*-3"},
        {"", "", 0, 0, "**0*0"},
        {"a", "b", INT_MAX, INT_MIN, "a*b*2147483647*-2147483648"},
        {"a b", " c ", 7, 8, "a b* c *7*8"},
    };
    for (const auto& c : cases) {
        std::string account = "old";
        std::string host = "old";
        int i = 99;
        int j = 99;
        ASSERT_TRUE(DemangleHostName(c.mangled, account, host, i, j)) << c.mangled;
        EXPECT_EQ(account, c.account) << c.mangled;
        EXPECT_EQ(host, c.host) << c.mangled;
        EXPECT_EQ(i, c.i) << c.mangled;
        EXPECT_EQ(j, c.j) << c.mangled;
    }
}

TEST(KyFwHostNameMangling, DemangleRefusesOtherShapesAndLeavesOutputsAlone) {
    const char* cases[] = {
        "",
        "foo",
        "a*b*1",
        "a*b*1*2*3",
        "a*b*x*0",
        "a*b*1*",
        "a*b**2",
        "a*b* 1*2",
        "a*b*+1*2",
        "a*b*1*2 ",
        "a*b*0x1*2",
        "a*b*1.5*2",
        "a*b*2147483648*0",
        "a*b*0*-2147483649",
        "*foo*bar*0*0",
    };
    for (const char* mangled : cases) {
        std::string account = "acct";
        std::string host = "host";
        int i = 5;
        int j = 6;
        EXPECT_FALSE(DemangleHostName(mangled, account, host, i, j)) << '"' << mangled << '"';
        EXPECT_EQ(account, "acct") << mangled;
        EXPECT_EQ(host, "host") << mangled;
        EXPECT_EQ(i, 5) << mangled;
        EXPECT_EQ(j, 6) << mangled;
    }
    std::string account;
    std::string host;
    int i = 0;
    int j = 0;
    EXPECT_FALSE(DemangleHostName(nullptr, account, host, i, j));
}

TEST(KyFwHostNameMangling, PlainNameSurvivesTheRoundTrip) {
    for (const char* name : {"foo", "", "client-7.example", "UPPER"}) {
        std::string account = "x";
        std::string host;
        int i = 1;
        int j = 1;
        ASSERT_TRUE(DemangleHostName(MangleHostName("", name, 0, 0).c_str(), account, host, i, j)) << name;
        EXPECT_EQ(account, "");
        EXPECT_EQ(host, name);
        EXPECT_EQ(i, 0);
        EXPECT_EQ(j, 0);
    }
}

}  // namespace
}  // namespace kytest
