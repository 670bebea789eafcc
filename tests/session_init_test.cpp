// Session construction, initialisation with its defaults and options, release and initialising again.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/reply_body.h"
#include "support/session_test_support.h"
#include "support/test_server.h"
#include "support/transfer_callbacks.h"

namespace kytest {
namespace {

const char kDefaultContentType[] = "Content-Type: application/x-www-form-urlencoded";

TEST(SessionInit, ConstructorSetsDefaultsAndNoHandle) {
    KYLibCurl session;
    EXPECT_EQ(session.m_curlHandle, nullptr);
    EXPECT_EQ(session.m_respData, nullptr);
    EXPECT_EQ(session.m_respSize, 0u);
    EXPECT_EQ(session.m_httpRespCode, 0);
    EXPECT_EQ(session.m_respHeaders, nullptr);
    EXPECT_EQ(session.m_reqHeaders, nullptr);
    EXPECT_STREQ(session.m_contentTypeHdr, kDefaultContentType);
    for (size_t i = strlen(kDefaultContentType); i < sizeof(session.m_contentTypeHdr); ++i)
        ASSERT_EQ(session.m_contentTypeHdr[i], '\0') << i;
    EXPECT_EQ(session.m_errorBuf[0], '\0');
    EXPECT_EQ(session.m_reqType, HTTP_REQ_GET);
    EXPECT_EQ(session.m_writeCallback, &KYLibCurl::libcurl_callback);
    EXPECT_FALSE(session.m_chunked);
}

TEST(SessionInit, NullArgumentsKeepTheDefaultsAndInitialiseLibcurl) {
    kytest::TestServer server;
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit(nullptr, false, false, nullptr));
    EXPECT_NE(session.m_curlHandle, nullptr);
    EXPECT_TRUE(KYLibCurlGlobal::m_global_init);
    EXPECT_STREQ(session.m_contentTypeHdr, kDefaultContentType);
    EXPECT_EQ(session.m_writeCallback, &KYLibCurl::libcurl_callback);

    ASSERT_TRUE(session.KYLibCulrInitHttpHeaders());
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/echo").c_str()));
    ASSERT_TRUE(session.KYCurlPostSubmitForm());
    EXPECT_EQ(server.lastRequest().header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_GT(session.m_respSize, 0u);  // the default callback gathered the body
}

TEST(SessionInit, ContentTypeLineIsCutTo199Characters) {
    std::string longLine = "Content-Type: " + std::string(250 - 14, 'x');
    ASSERT_EQ(longLine.size(), 250u);
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit(longLine.c_str()));
    EXPECT_EQ(std::string(session.m_contentTypeHdr), longLine.substr(0, 199));
}

TEST(SessionInit, GivenContentTypeReplacesTheWholeDefault) {
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit("Content-Type: a/b"));
    EXPECT_STREQ(session.m_contentTypeHdr, "Content-Type: a/b");
    for (size_t i = strlen("Content-Type: a/b"); i < sizeof(session.m_contentTypeHdr); ++i)
        ASSERT_EQ(session.m_contentTypeHdr[i], '\0') << i;
}

TEST(SessionInit, GivenWriteCallbackIsStoredAndReceivesTheBody) {
    kytest::TestServer server;
    KYLibCurl session;
    std::string body;
    ASSERT_TRUE(session.KYLibCurlInit(nullptr, false, false, CollectInto));
    EXPECT_EQ(session.m_writeCallback, &CollectInto);
    ASSERT_TRUE(session.KYLibCurlSetWriteData(&body));
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/bytes/4").c_str()));
    ASSERT_TRUE(session.KYCurlPostSubmitForm());
    EXPECT_EQ(body, "abcd");
    EXPECT_EQ(session.m_respData, nullptr);
}

TEST(SessionInit, SkipPeerVerifyReachesAServerOfAnUnknownAuthority) {
    kytest::TestServer server(kytest::TestServer::Scheme::Https);
    KYLibCurl verifying, trusting;
    ASSERT_TRUE(verifying.KYLibCurlInit());
    ASSERT_TRUE(trusting.KYLibCurlInit(nullptr, true, false, nullptr));

    ASSERT_TRUE(verifying.KYCurlSetUrl(server.url("/bytes/1").c_str()));
    EXPECT_FALSE(verifying.KYCurlPostSubmitForm());
    ASSERT_TRUE(trusting.KYCurlSetUrl(server.url("/bytes/1").c_str()));
    EXPECT_TRUE(trusting.KYCurlPostSubmitForm());
}

TEST(SessionInit, RequireSslIsAcceptedForHttps) {
    kytest::TestServer server(kytest::TestServer::Scheme::Https);
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit(nullptr, true, true, nullptr));
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/bytes/1").c_str()));
    EXPECT_TRUE(session.KYCurlPostSubmitForm());
}

TEST(SessionInit, DeInitReleasesEverythingAndTheSessionCanBeInitialisedAgain) {
    kytest::TestServer server;
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Old: 1"));
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/bytes/2").c_str()));
    ASSERT_TRUE(session.KYCurlPostSubmitForm());

    session.KYLibCurlDeInit();
    EXPECT_EQ(session.m_curlHandle, nullptr);
    EXPECT_EQ(session.m_reqHeaders, nullptr);
    EXPECT_EQ(session.m_respHeaders, nullptr);
    EXPECT_EQ(session.m_respData, nullptr);
    EXPECT_EQ(session.m_respSize, 0u);
    session.KYLibCurlDeInit();  // releasing again is harmless
    EXPECT_EQ(session.m_curlHandle, nullptr);

    ASSERT_TRUE(session.KYLibCurlInit());
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/bytes/3").c_str()));
    ASSERT_TRUE(session.KYCurlPostSubmitForm());
    EXPECT_EQ(Body(session), "abc");
    EXPECT_FALSE(server.lastRequest().hasHeader("X-Old"));
}

// A second KYLibCurlInit replaces the handle (the first is released) with a fresh one carrying the
// standard options; what the session gathered stays.
TEST(SessionInit, InitialisingTwiceGivesAFreshWorkingHandle) {
    kytest::TestServer server;
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    ASSERT_TRUE(session.KYLibCurlSetCallbackWriteFunction(Discard));
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/bytes/2").c_str()));
    ASSERT_TRUE(session.KYCurlPostSubmitForm());
    EXPECT_EQ(session.m_respData, nullptr);  // went to Discard

    ASSERT_TRUE(session.KYLibCurlInit());
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/bytes/3").c_str()));
    ASSERT_TRUE(session.KYCurlPostSubmitForm());
    EXPECT_EQ(Body(session), "abc");  // default callback again
}

TEST(SessionInit, SetAllOptionsReinstallsTheStoredWriteCallback) {
    kytest::TestServer server;
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    ASSERT_TRUE(session.KYLibCurlSetCallbackWriteFunction(Discard));
    EXPECT_EQ(session.m_writeCallback, &KYLibCurl::libcurl_callback);
    ASSERT_TRUE(session.KYLibCurlSetAllOptions());
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/bytes/2").c_str()));
    ASSERT_TRUE(session.KYCurlPostSubmitForm());
    EXPECT_EQ(session.m_respSize, 2u);
}

TEST(SessionInit, SetAllOptionsWithoutHandleLogsTheFirstStep) {
    kytest::LogCapture log;
    KYLibCurl session;
    EXPECT_FALSE(session.KYLibCurlSetAllOptions());
    EXPECT_EQ(log.lines(),
              (std::vector<kytest::LogLine>{
                  {"-1", "KYLibCurl::KYLibCurlSetAllOptions",
                   "failed to set curl option:[CURLOPT_ERRORBUFFER]err:[A libcurl function was given a "
                   "bad argument]"}}));
}

}  // namespace
}  // namespace kytest
