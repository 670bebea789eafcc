// Reply header and trailer lines from hostile servers: floods within the cap are kept whole and in time,
// a flood beyond it fails the request instead of dropping lines, and the session serves the next request.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/scripted_server.h"
#include "support/test_server.h"

namespace kytest {
namespace {

// What a session keeps of one transfer's header and trailer lines, counted as received.
constexpr size_t kLineCap = size_t{300} * 1024;
// Four bytes a line, as a flood would send them.
const std::string kFloodLine = "a:\r\n";

std::string Lines(size_t count) {
    std::string lines;
    lines.reserve(count * kFloodLine.size());
    for (size_t i = 0; i < count; ++i) lines += kFloodLine;
    return lines;
}

size_t StoredLines(KYLibCurl& session, const char* name) {
    std::list<std::string> lines;
    session.GetHttpResponseHeaders(name, lines);
    return lines.size();
}

class ReplyLines : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.KYLibCurlInit());
        // Storing the lines of a flood takes a fraction of a second; a list walked for every line took
        // seconds. The request's own time-out tells the two apart, provided libcurl looks at it while the
        // flood comes in: it does so between rounds of reads, and small reads make the rounds short.
        ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, 3000));
        ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_BUFFERSIZE, 1024));
    }

    bool Get(const std::string& url) {
        return session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, nullptr);
    }

    void ExpectUsable() {
        ASSERT_TRUE(Get(server.url("/header?X-After=1")));
        EXPECT_STREQ(session.GetHttpResponseHeader("X-After"), "X-After: 1\r\n");
        EXPECT_EQ(StoredLines(session, "a:"), 0u);
    }

    kytest::LogCapture log{2};
    kytest::TestServer server;
    KYLibCurl session;
};

TEST_F(ReplyLines, FloodsWithinTheCapAreKeptWholeAndInTime) {
    const struct {
        const char* name;
        std::string reply;
        size_t floodLines;
    } cases[] = {
        // libcurl's own cap on a reply's header lines is 300 KiB as well: 76,000 lines stay inside it.
        {"header lines", kytest::ReplyWithHeaders(Lines(76000), "ok"), 76000},
        {"trailer lines", kytest::ChunkedReplyWithTrailers("ok", Lines(76000)), 76000},
        {"both", kytest::ChunkedReplyWithTrailers("ok", Lines(38000)).insert(17, Lines(38000)), 76000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kytest::ScriptedServer flooding({kytest::ScriptedAnswer::Send(c.reply)});
        ASSERT_TRUE(Get(flooding.url("/flood")));
        EXPECT_EQ(session.m_httpRespCode, 200);
        EXPECT_EQ(StoredLines(session, "a:"), c.floodLines);
        std::list<std::string> lines;
        ASSERT_TRUE(session.GetHttpResponseHeaders(nullptr, lines));
        EXPECT_EQ(lines.front(), "HTTP/1.1 200 OK\r\n");
        size_t length = 0;
        EXPECT_STREQ(session.GetHttpResponse(length, false), "ok");
    }
}

// libcurl does not cap trailers: beyond the session's cap the request fails, whatever was kept so far.
TEST_F(ReplyLines, TrailersBeyondTheCapFailTheRequest) {
    const struct {
        const char* name;
        std::string reply;
    } cases[] = {
        {"200,000 trailer lines", kytest::ChunkedReplyWithTrailers("ok", Lines(200000))},
        {"headers and trailers together",
         kytest::ChunkedReplyWithTrailers("ok", Lines(40000)).insert(17, Lines(40000))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        kytest::ScriptedServer flooding({kytest::ScriptedAnswer::Send(c.reply)});
        EXPECT_FALSE(Get(flooding.url("/flood")));
        EXPECT_EQ(session.m_httpRespCode, 200);
        EXPECT_LT(StoredLines(session, "a:") * kFloodLine.size(), kLineCap);
        EXPECT_TRUE(log.contains("failed to send http request"));
        EXPECT_FALSE(log.contains("failed to send http request. err:[CURL_WRITE_ERROR] ErrorStr:[" +
                                  std::string(curl_easy_strerror(CURLE_WRITE_ERROR)) +
                                  "].  Ignoring this error and moving on."));
        ASSERT_NO_FATAL_FAILURE(ExpectUsable());
    }
}

// The cap is per transfer: lines kept from earlier replies do not count against the next one.
TEST_F(ReplyLines, TheCapCountsOneTransferAtATime) {
    kytest::ScriptedServer flooding(
        {kytest::ScriptedAnswer::Send(kytest::ReplyWithHeaders(Lines(60000), "ok"))});
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(
            session.KYLibCurlSendHttpReq(HTTP_REQ_GET, flooding.url("/flood"), nullptr, 0, false, nullptr));
        EXPECT_EQ(StoredLines(session, "a:"), 60000u * (i + 1));
    }
    size_t length = 0;
    EXPECT_STREQ(session.GetHttpResponse(length, false), "okokok");
}

// The loop of a session that keeps its lists: each reply's lines follow the ones kept before, in order,
// whatever else appended to the list or released it between the requests.
TEST_F(ReplyLines, KeptLinesFollowEachOtherAcrossRequests) {
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "Accept: text/plain"));
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        if (i == 150) {
            session.KYLibCurlFreeHttpHeaderList();
            expected.clear();
        }
        if (i % 40 == 7) {
            session.m_respHeaders = curl_slist_append(session.m_respHeaders, "X-Own: 1");
            expected.push_back("X-Own: 1");
        }
        const std::string seq = std::to_string(i);
        ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/header?X-Seq=" + seq), nullptr, 0,
                                                 false, nullptr));
        expected.push_back("X-Seq: " + seq + "\r\n");
        size_t length = 0;
        free(session.GetHttpResponse(length, true));
    }
    std::list<std::string> seen;
    for (const curl_slist* line = session.m_respHeaders; line; line = line->next)
        if (strncmp(line->data, "X-", 2) == 0) seen.emplace_back(line->data);
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.end()), expected);
}

}  // namespace
}  // namespace kytest
