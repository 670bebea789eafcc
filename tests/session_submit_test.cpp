// KYCurlSetUrl + KYCurlPostSubmitForm: the success rule and its log lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/refused_port.h"
#include "support/session_test_support.h"
#include "support/test_server.h"
#include "support/transfer_callbacks.h"

namespace kytest {
namespace {

const char kTag[] = "KYLibCurl::KYCurlPostSubmitForm";

struct StatusCase {
    int status;
    bool success;
};

class SubmitStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(SubmitStatus, OnlyA2xxStatusSucceedsAndTheStatusFieldIsLeftAlone) {
    kytest::TestServer server;
    kytest::LogCapture log;
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    session.m_httpRespCode = 4242;
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/status/" + std::to_string(GetParam().status)).c_str()));

    EXPECT_EQ(session.KYCurlPostSubmitForm(), GetParam().success);
    EXPECT_EQ(session.m_httpRespCode, 4242);
    std::vector<kytest::LogLine> expected;
    if (!GetParam().success)
        expected.push_back(
            {"-1", kTag,
             "http resp is not 200 OK. http status code:[" + std::to_string(GetParam().status) + "]"});
    EXPECT_EQ(log.lines(), expected);
}

INSTANTIATE_TEST_SUITE_P(Statuses, SubmitStatus,
                         ::testing::Values(StatusCase{200, true}, StatusCase{204, true},
                                           StatusCase{299, true}, StatusCase{300, false},
                                           StatusCase{404, false}, StatusCase{500, false}));

// A 1xx answer is interim: libcurl waits for the final one, which never comes, so the transfer fails.
TEST(SubmitInterimStatus, A199AnswerIsNotASuccess) {
    kytest::TestServer server;
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, 1000));
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/status/199").c_str()));
    EXPECT_FALSE(session.KYCurlPostSubmitForm());
}

TEST(SubmitWriteError, ACallerCallbackThatStopsTheBodyIsJudgedByTheStatus) {
    kytest::TestServer server;
    kytest::LogCapture log;
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    ASSERT_TRUE(session.KYLibCurlSetCallbackWriteFunction(RefuseBody));
    // A failed growth noted outside any transfer (the caller calling the body callback itself) belongs to
    // no transfer: it does not turn this transfer's write error into a truncated reply.
    char byte = 'x';
    ASSERT_EQ(KYLibCurl::libcurl_callback(&byte, SIZE_MAX / 2 + 1, 2, &session), 0u);

    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/bytes/10").c_str()));
    EXPECT_TRUE(session.KYCurlPostSubmitForm());
    EXPECT_TRUE(log.lines().empty());

    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/bytes/10?status=404").c_str()));
    EXPECT_FALSE(session.KYCurlPostSubmitForm());
    EXPECT_EQ(
        log.lines(),
        (std::vector<kytest::LogLine>{{"-1", kTag, "http resp is not 200 OK. http status code:[404]"}}));
}

TEST(SubmitFailure, ARefusedConnectionLogsThePerformFailure) {
    kytest::LogCapture log;
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    const kytest::RefusedPort refusing;
    ASSERT_TRUE(session.KYCurlSetUrl(refusing.url().c_str()));
    EXPECT_FALSE(session.KYCurlPostSubmitForm());
    EXPECT_EQ(log.lines(), (std::vector<kytest::LogLine>{
                               {"-1", kTag, "curl_easy_perform failed err:[Couldn't connect to server]"}}));
}

TEST(SubmitFailure, AnInvalidUrlLogsTheSetUrlFailure) {
    kytest::LogCapture log;
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    std::string huge(size_t{9} * 1024 * 1024, 'a');  // longer than libcurl accepts for a text option
    EXPECT_FALSE(session.KYCurlSetUrl(huge.c_str()));
    EXPECT_EQ(log.lines(),
              (std::vector<kytest::LogLine>{
                  {"-1", "KYLibCurl::KYCurlSetUrl",
                   "failed to set curl option:[CURLOPT_URL] err:[A libcurl function was given a bad "
                   "argument]"}}));
}

using SubmitAfterRelease = ServedSession;

// The handle points at the installed request header list; releasing the list must detach it, or the next
// transfer reads freed memory.
TEST_F(SubmitAfterRelease, ReleasedRequestLinesDoNotGoOut) {
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/echo").c_str()));
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Released: one"));
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Released-Too: two"));
    session.KYLibCurlFreeHttpHeaderList();
    EXPECT_EQ(session.m_reqHeaders, nullptr);
    std::vector<std::string> reuse(64, std::string(24, 'Z'));  // likely to land in the freed blocks

    ASSERT_TRUE(session.KYCurlPostSubmitForm());
    kytest::ReceivedRequest request = server.lastRequest();
    EXPECT_FALSE(request.hasHeader("X-Released"));
    EXPECT_FALSE(request.hasHeader("X-Released-Too"));
    EXPECT_EQ(request.raw.find("ZZZZ"), std::string::npos);
}

TEST_F(SubmitAfterRelease, LinesAppendedAfterTheReleaseGoOutAlone) {
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/echo").c_str()));
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Before: 1"));
    session.KYLibCurlFreeHttpHeaderList();
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-After: 2"));
    ASSERT_TRUE(session.KYCurlPostSubmitForm());
    EXPECT_FALSE(server.lastRequest().hasHeader("X-Before"));
    EXPECT_EQ(server.lastRequest().header("X-After"), "2");
}

}  // namespace
}  // namespace kytest
