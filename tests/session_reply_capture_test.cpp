// Reply capture: the body buffer across transfers, detaching it, and the reply header lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <list>
#include <string>
#include <vector>

#include "kylibcurl.h"
#include "session/fxstring_helpers.h"
#include "support/session_test_support.h"
#include "support/test_server.h"

namespace kytest {
namespace {

using ReplyCapture = ServedSession;

TEST_F(ReplyCapture, TwoTransfersAppendToOneZeroTerminatedBuffer) {
    ASSERT_TRUE(Fetch("/bytes/5"));
    ASSERT_TRUE(Fetch("/status/200"));

    size_t len = 0;
    char* body = session.GetHttpResponse(len, false);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(std::string(body, len), "abcdestatus 200");
    EXPECT_EQ(body[len], '\0');
    EXPECT_EQ(session.m_respData, body);  // not detached: still the session's
    EXPECT_EQ(session.m_respSize, len);
}

TEST_F(ReplyCapture, ReplyWithoutBodyLeavesNoBuffer) {
    ASSERT_TRUE(Fetch("/bytes/0"));

    size_t len = 99;
    EXPECT_EQ(session.GetHttpResponse(len, false), nullptr);
    EXPECT_EQ(len, 0u);
}

TEST_F(ReplyCapture, DetachedBodyBelongsToTheCallerAndTheNextReplyStartsAfresh) {
    ASSERT_TRUE(Fetch("/bytes/3"));

    size_t len = 0;
    char* taken = session.GetHttpResponse(len, true);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(std::string(taken, len), "abc");
    EXPECT_EQ(session.m_respData, nullptr);
    EXPECT_EQ(session.m_respSize, 0u);

    ASSERT_TRUE(Fetch("/bytes/2"));
    char* next = session.GetHttpResponse(len, false);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(std::string(next, len), "ab");
    EXPECT_EQ(std::string(taken), "abc");  // untouched by the session
    free(taken);
}

TEST_F(ReplyCapture, HeaderLinesAreKeptInOrderWithTheirLineEnds) {
    ASSERT_TRUE(Fetch("/header?X-First=1&X-Second=2"));

    std::list<std::string> lines;
    ASSERT_TRUE(session.GetHttpResponseHeaders(nullptr, lines));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front(), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(lines.back(), "\r\n");  // the blank line holds only its line end, which is not trimmed
    auto first = std::find(lines.begin(), lines.end(), "X-First: 1\r\n");
    auto second = std::find(lines.begin(), lines.end(), "X-Second: 2\r\n");
    ASSERT_NE(first, lines.end());
    ASSERT_NE(second, lines.end());
    EXPECT_LT(std::distance(lines.begin(), first), std::distance(lines.begin(), second));
    EXPECT_STREQ(session.GetHttpResponseHeader("x-second"), "X-Second: 2\r\n");
}

TEST_F(ReplyCapture, HeaderLinesOfSuccessiveRepliesAccumulateUntilReleased) {
    ASSERT_TRUE(Fetch("/header?X-Reply=one"));
    ASSERT_TRUE(Fetch("/header?X-Reply=two"));

    std::list<std::string> lines;
    ASSERT_TRUE(session.GetHttpResponseHeaders("X-Reply", lines));
    EXPECT_EQ(lines, (std::list<std::string>{"X-Reply: one\r\n", "X-Reply: two\r\n"}));

    session.KYLibCurlFreeHttpHeaderList();
    EXPECT_EQ(session.m_respHeaders, nullptr);
    EXPECT_EQ(session.m_respData, nullptr);
    EXPECT_EQ(session.m_respSize, 0u);
    EXPECT_FALSE(session.GetHttpResponseHeaders(nullptr, lines));
    EXPECT_TRUE(lines.empty());
}

TEST(SessionReplyCapture, LeadingBlanksOfAHeaderLineAreTrimmed) {
    std::string raw = " \tX-Padded: v\r\n";
    KYLibCurl session;
    ASSERT_EQ(KYLibCurl::libcurl_headercallback(&raw[0], 1, raw.size(), &session), raw.size());
    std::string blanks = " \t ";
    ASSERT_EQ(KYLibCurl::libcurl_headercallback(&blanks[0], 1, blanks.size(), &session), blanks.size());

    std::list<std::string> lines;
    ASSERT_TRUE(session.GetHttpResponseHeaders(nullptr, lines));
    EXPECT_EQ(lines, std::list<std::string>{"X-Padded: v\r\n"});  // the all-blank line was not stored
}

// The callback trims a line where it lies instead of in a copy; what it stores must be what trimming a
// copy with FXString::TrimWhiteSpace and storing its C string gives, short lines and long ones alike.
TEST(SessionReplyCapture, StoredHeaderLinesEqualTrimmedCopies) {
    const std::vector<std::string> raws = {
        "X-Trailing: v \t\r\n",             // blanks before the line end stay
        "X-No-End: v \t ",                  // blanks at the very end go
        "\t X-Both: v\t",                   // both ends
        std::string("A\0B\r\n", 5),         // up to the first zero byte
        std::string("\0after\r\n", 8),      // a line that is empty as a C string
        "\r\n",                             // the empty line that ends a header block
        " " + std::string(254, 'a') + " ",  // about the length of the stack copy
        std::string(255, 'b'),
        std::string(256, 'c'),
        " \t" + std::string(300, 'd') + "\r\n",
        std::string(100000, 'e') + "\t",
    };
    KYLibCurl session;
    std::list<std::string> expected;
    for (const std::string& raw : raws) {
        std::string copy = raw;
        ASSERT_EQ(KYLibCurl::libcurl_headercallback(&copy[0], 1, copy.size(), &session), raw.size());
        std::string trimmed = raw;
        FXString::TrimWhiteSpace(trimmed);
        if (!trimmed.empty()) expected.push_back(trimmed.c_str());
    }
    std::list<std::string> lines;
    ASSERT_TRUE(session.GetHttpResponseHeaders(nullptr, lines));
    EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace kytest
