// KYLibCurlAppendHeader by kind, and the content-type line added before a request.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/read_file.h"
#include "support/session_test_support.h"
#include "support/test_server.h"

namespace kytest {
namespace {

const char kTag[] = "KYLibCurl::KYLibCurlAppendHeaders";

class AppendHeader : public ServedSession {};

TEST_F(AppendHeader, HeaderLinesAccumulateAndGoOutWithTheContentTypeLine) {
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-One: 1"));
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Two: 2"));
    ASSERT_TRUE(session.KYLibCulrInitHttpHeaders());
    ASSERT_TRUE(Fetch("/echo"));

    kytest::ReceivedRequest request = server.lastRequest();
    EXPECT_EQ(request.header("X-One"), "1");
    EXPECT_EQ(request.header("X-Two"), "2");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
}

// A kept list carries the content-type line once, however often the headers are set up; a different
// content-type line of the caller's does not stand in for it.
TEST_F(AppendHeader, InitOfTheHeadersAddsTheContentTypeLineOnce) {
    ASSERT_TRUE(session.KYLibCulrInitHttpHeaders());
    ASSERT_TRUE(Fetch("/echo"));
    EXPECT_EQ(server.lastRequest().headerCount("Content-Type"), 1u);
    ASSERT_TRUE(session.KYLibCulrInitHttpHeaders());
    ASSERT_TRUE(Fetch("/echo"));
    EXPECT_EQ(server.lastRequest().headerCount("Content-Type"), 1u);

    session.KYLibCurlFreeHttpHeaderList();
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "Content-Type: application/json"));
    ASSERT_TRUE(session.KYLibCulrInitHttpHeaders());
    ASSERT_TRUE(session.KYLibCulrInitHttpHeaders());
    ASSERT_TRUE(Fetch("/echo"));
    EXPECT_EQ(server.lastRequest().headerCount("Content-Type"), 2u);
}

// A line refused before the session had a handle is not kept: it never goes out with a later request,
// while the lines appended after it do.
TEST(AppendHeaderBeforeInit, RefusedLineNeverGoesOut) {
    kytest::LogCapture log;
    kytest::TestServer server;
    KYLibCurl session;
    EXPECT_FALSE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Early: 1"));
    EXPECT_FALSE(session.KYLibCulrInitHttpHeaders());
    ASSERT_TRUE(session.KYLibCurlInit());
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Later: 2"));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(
            session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/echo"), nullptr, 0, false, nullptr));
        const kytest::ReceivedRequest request = server.lastRequest();
        EXPECT_FALSE(request.hasHeader("X-Early"));
        EXPECT_EQ(request.headerCount("X-Later"), 1u);
        EXPECT_EQ(request.headerCount("Content-Type"), 1u);
    }
}

TEST_F(AppendHeader, UserPasswordGoesOutAsBasicAuthorisation) {
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_USERPWD, "user:pass"));
    ASSERT_TRUE(Fetch("/echo"));
    EXPECT_EQ(server.lastRequest().header("Authorization"), "Basic dXNlcjpwYXNz");
}

TEST(AppendHeaderCaInfo, TheServersCaLetsTheSessionVerifyIt) {
    kytest::TestServer server(kytest::TestServer::Scheme::Https);
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/bytes/2").c_str()));
    EXPECT_FALSE(session.KYCurlPostSubmitForm());  // unknown authority

    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, server.caFile().c_str()));
    EXPECT_TRUE(session.KYCurlPostSubmitForm());
}

TEST(AppendHeaderCaInfo, NullPathSucceedsWithoutSettingAnything) {
    kytest::TestServer server(kytest::TestServer::Scheme::Https);
    kytest::LogCapture log;
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, server.caFile().c_str()));
    EXPECT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, nullptr));
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/bytes/2").c_str()));
    EXPECT_TRUE(session.KYCurlPostSubmitForm());  // the CA set before is still in force
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(AppendHeader, CookieFileIsReadIntoTheRequest) {
    kytest::TempDir dir;
    std::ofstream(dir.file("cookies.txt")) << "127.0.0.1\tFALSE\t/\tFALSE\t0\tflavour\toat\n";
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_COOKIEFILE, dir.file("cookies.txt").c_str()));
    ASSERT_TRUE(Fetch("/echo"));
    EXPECT_EQ(server.lastRequest().header("Cookie"), "flavour=oat");
}

TEST_F(AppendHeader, CookieJarIsWrittenWhenTheSessionIsReleased) {
    kytest::TempDir dir;
    const std::string jar = dir.file("jar.txt");
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_COOKIEJAR, jar.c_str()));
    ASSERT_TRUE(Fetch("/cookie/set?crumb=42"));
    session.KYLibCurlDeInit();
    EXPECT_NE(ReadFile(jar).find("crumb\t42"), std::string::npos) << ReadFile(jar);
}

struct ChunkedCase {
    const char* line;
    bool chunked;
};

class ChunkedFlag : public ::testing::TestWithParam<ChunkedCase> {};

TEST_P(ChunkedFlag, OnlyTheExactLineSetsIt) {
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, GetParam().line));
    EXPECT_EQ(session.m_chunked, GetParam().chunked);
}

INSTANTIATE_TEST_SUITE_P(Lines, ChunkedFlag,
                         ::testing::Values(ChunkedCase{"Transfer-Encoding: chunked", true},
                                           ChunkedCase{"transfer-encoding: chunked", false},
                                           ChunkedCase{"Transfer-Encoding: chunked  ", false},
                                           ChunkedCase{"Transfer-Encoding: Chunked", false},
                                           ChunkedCase{"X-Other: 1", false}));

// The flag says the list holds the chunked line, so it goes with the list: released directly, by a
// request asking for fresh lists, or with the session's handle.
TEST_F(AppendHeader, ChunkedFlagEndsWithTheListThatHeldItsLine) {
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "Transfer-Encoding: chunked"));
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Other: 1"));
    EXPECT_TRUE(session.m_chunked);
    session.KYLibCurlFreeHttpHeaderList();
    EXPECT_FALSE(session.m_chunked);

    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "Transfer-Encoding: chunked"));
    ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/echo"), nullptr, 0, true, nullptr));
    EXPECT_FALSE(session.m_chunked);
    EXPECT_FALSE(server.lastRequest().hasHeader("Transfer-Encoding"));

    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "Transfer-Encoding: chunked"));
    session.KYLibCurlDeInit();
    EXPECT_FALSE(session.m_chunked);
}

TEST_F(AppendHeader, AnUnknownKindIsLoggedWithoutLevelAndChangesNothing) {
    kytest::LogCapture log;
    EXPECT_TRUE(session.KYLibCurlAppendHeader(static_cast<_http_hdr_type_>(7), "X-Ignored: 1"));
    EXPECT_EQ(log.lines(), (std::vector<kytest::LogLine>{{"-", kTag, "type [7] not implemented"}}));
    EXPECT_EQ(session.m_reqHeaders, nullptr);
    ASSERT_TRUE(Fetch("/echo"));
    EXPECT_FALSE(server.lastRequest().hasHeader("X-Ignored"));
}

TEST_F(AppendHeader, NullHeaderLineFailsAndKeepsTheList) {
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Kept: 1"));
    curl_slist* before = session.m_reqHeaders;
    kytest::LogCapture log;
    EXPECT_FALSE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, nullptr));
    EXPECT_EQ(log.lines(),
              (std::vector<kytest::LogLine>{
                  {"-1", kTag,
                   "curl_easy_setopt returned error:[A libcurl function was given a bad argument] "
                   "options:[CURLOPT_HTTPHEADER]"}}));
    EXPECT_EQ(session.m_reqHeaders, before);
    ASSERT_TRUE(Fetch("/echo"));
    EXPECT_EQ(server.lastRequest().header("X-Kept"), "1");
}

}  // namespace
}  // namespace kytest
