// String helpers of the utility library.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "FXString.h"

namespace kytest {
namespace {

TEST(FXStringFormat, FormatsNumbersAndTexts) {
    EXPECT_EQ(FXString::Format("%d", 8080), "8080");
    EXPECT_EQ(FXString::Format("%d", -1), "-1");
    EXPECT_EQ(FXString::Format("%d", INT_MIN), "-2147483648");
    EXPECT_EQ(FXString::Format("%s:%d", "host", 80), "host:80");
    EXPECT_EQ(FXString::Format("%s", ""), "");
}

TEST(FXStringFormat, LongOutputIsComplete) {
    std::string part(5000, 'a');
    std::string text = FXString::Format("<%s|%s|%d>", part.c_str(), part.c_str(), 42);
    EXPECT_EQ(text, "<" + part + "|" + part + "|42>");
}

TEST(FXStringFormat, OutputAtTheBoundaryOfTheFirstPass) {
    for (size_t length : {510u, 511u, 512u, 513u}) {
        std::string part(length, 'b');
        EXPECT_EQ(FXString::Format("%s", part.c_str()), part) << length;
    }
}

TEST(FXStringFormat, EmbeddedZeroIsKept) {
    std::string text = FXString::Format("a%cb", '\0');
    EXPECT_EQ(text, std::string("a\0b", 3));
}

struct TrimCase {
    const char* input;
    const char* chars;
    const char* expected;
};

class FXStringTrim : public ::testing::TestWithParam<TrimCase> {};

TEST_P(FXStringTrim, StripsTheSetFromBothEnds) {
    const TrimCase& c = GetParam();
    std::string s = c.input;
    FXString::Trim(s, c.chars);
    EXPECT_EQ(s, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, FXStringTrim,
                         ::testing::Values(TrimCase{"  value  ", " \t", "value"},
                                           TrimCase{"\t a b \t", " \t", "a b"},
                                           TrimCase{"value\r\n", " \t", "value\r\n"},
                                           TrimCase{" value \r\n", " \t", "value \r\n"},
                                           TrimCase{"", " \t", ""}, TrimCase{" \t \t", " \t", ""},
                                           TrimCase{"x", " ", "x"}, TrimCase{"xxaxbxx", "x", "axb"},
                                           TrimCase{"abcba", "ab", "c"}, TrimCase{" keep ", "", " keep "}));

TEST(FXStringTrimNull, NullSetLeavesTheString) {
    std::string s = "  untouched  ";
    FXString::Trim(s, nullptr);
    EXPECT_EQ(s, "  untouched  ");
}

}  // namespace
}  // namespace kytest
