// Which stored reply header lines a name selects.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "kylibcurl.h"

namespace kytest {
namespace {

// A session whose reply header list holds the given lines (the session frees it).
void Store(KYLibCurl& session, const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        session.m_respHeaders = curl_slist_append(session.m_respHeaders, line.c_str());
}

const std::vector<std::string> kReply = {"HTTP/1.1 200 OK\r\n", "Content-Length: 5\r\n",
                                         "Content-Type: text/plain\r\n", "X-Twice: 1\r\n", "X-Twice: 2\r\n"};

struct MatchCase {
    const char* name;
    std::vector<std::string> stored;
    const char* first;                // expected GetHttpResponseHeader result, null for none
    std::list<std::string> matching;  // expected GetHttpResponseHeaders lines
};

class HeaderMatching : public ::testing::TestWithParam<MatchCase> {};

TEST_P(HeaderMatching, SelectsTheLinesThatBeginWithTheName) {
    const MatchCase& c = GetParam();
    KYLibCurl session;
    Store(session, c.stored);

    const char* found = session.GetHttpResponseHeader(c.name);
    if (c.first)
        EXPECT_STREQ(found, c.first);
    else
        EXPECT_EQ(found, nullptr);

    std::list<std::string> out = {"stale"};
    EXPECT_EQ(session.GetHttpResponseHeaders(c.name, out), !c.matching.empty());
    EXPECT_EQ(out, c.matching);
}

INSTANTIATE_TEST_SUITE_P(
    Names, HeaderMatching,
    ::testing::Values(
        MatchCase{"content-type", kReply, "Content-Type: text/plain\r\n", {"Content-Type: text/plain\r\n"}},
        MatchCase{"Content",
                  kReply,
                  "Content-Length: 5\r\n",
                  {"Content-Length: 5\r\n", "Content-Type: text/plain\r\n"}},
        MatchCase{"", kReply, "HTTP/1.1 200 OK\r\n", {kReply.begin(), kReply.end()}},
        MatchCase{"x-twice", kReply, "X-Twice: 1\r\n", {"X-Twice: 1\r\n", "X-Twice: 2\r\n"}},
        MatchCase{"X-Absent", kReply, nullptr, {}},
        MatchCase{"Content-Type: text/plain; charset=utf-8", kReply, nullptr, {}},
        // A stored line shorter than the name matches when it is the name's beginning.
        MatchCase{"Connection", {"conn", "Connection: close"}, "conn", {"conn", "Connection: close"}},
        MatchCase{"Connection", {"Connx"}, nullptr, {}}, MatchCase{"Content-Type", {}, nullptr, {}}));

TEST(HeaderMatchingNullName, HeaderGivesNullAndHeadersGivesEveryLine) {
    KYLibCurl session;
    Store(session, kReply);
    EXPECT_EQ(session.GetHttpResponseHeader(nullptr), nullptr);

    std::list<std::string> out;
    EXPECT_TRUE(session.GetHttpResponseHeaders(nullptr, out));
    EXPECT_EQ(out, std::list<std::string>(kReply.begin(), kReply.end()));
}

TEST(HeaderMatchingNullName, EmptyListGivesNothing) {
    KYLibCurl session;
    EXPECT_EQ(session.GetHttpResponseHeader(nullptr), nullptr);
    EXPECT_EQ(session.GetHttpResponseHeader(""), nullptr);
    std::list<std::string> out = {"stale"};
    EXPECT_FALSE(session.GetHttpResponseHeaders(nullptr, out));
    EXPECT_TRUE(out.empty());
}

TEST(HeaderMatchingResult, HeaderReturnsTheSessionsOwnLine) {
    KYLibCurl session;
    Store(session, kReply);
    EXPECT_EQ(session.GetHttpResponseHeader("X-Twice"), session.m_respHeaders->next->next->next->data);
}

}  // namespace
}  // namespace kytest
