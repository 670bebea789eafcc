// Raw libcurl options by number and the caller's own read and write callbacks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/session_test_support.h"
#include "support/test_server.h"
#include "support/transfer_callbacks.h"

namespace kytest {
namespace {

class OptionSetters : public ServedSession {};

TEST_F(OptionSetters, IntValueTimeoutEndsAStalledTransfer) {
    kytest::LogCapture log;
    ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, 300));
    EXPECT_FALSE(Fetch("/stall"));
    EXPECT_EQ(log.lines(),
              (std::vector<kytest::LogLine>{{"-1", "KYLibCurl::KYCurlPostSubmitForm",
                                             "curl_easy_perform failed err:[Timeout was reached]"}}));
}

// The fixture does not serve ranges, so libcurl refuses the whole body it gets; the request shows the
// offset reached the wire.
TEST_F(OptionSetters, COffValueResumeFromAsksForTheRestOfTheBody) {
    kytest::LogCapture log;
    long offset = 3;
    ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsCOffValue(CURLOPT_RESUME_FROM_LARGE, offset));
    EXPECT_FALSE(Fetch("/bytes/10"));
    EXPECT_EQ(server.lastRequest().header("Range"), "bytes=3-");
    EXPECT_TRUE(
        log.contains("curl_easy_perform failed err:[Requested range was not delivered by the server]"));
}

TEST_F(OptionSetters, OptionSetToOneTakesEffect) {
    ASSERT_TRUE(session.KYLibCurlSetAdditionalOptions(CURLOPT_NOBODY));
    ASSERT_TRUE(Fetch("/bytes/10"));
    EXPECT_EQ(server.lastRequest().method, "HEAD");
    EXPECT_EQ(session.m_respData, nullptr);
}

TEST_F(OptionSetters, StringValueReachesTheServer) {
    ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsStringValue(CURLOPT_USERAGENT, "kytest-agent/1"));
    ASSERT_TRUE(Fetch("/echo"));
    EXPECT_EQ(server.lastRequest().header("User-Agent"), "kytest-agent/1");
}

struct InvalidOptionCase {
    const char* tag;
    bool (*set)(KYLibCurl&, CURLoption);
};

class InvalidOption : public ::testing::TestWithParam<InvalidOptionCase> {};

TEST_P(InvalidOption, FailsNamingTheOptionNumber) {
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    kytest::LogCapture log;
    // A number in each value range that libcurl does not know.
    EXPECT_FALSE(GetParam().set(session, static_cast<CURLoption>(9999)));
    EXPECT_EQ(log.lines(),
              (std::vector<kytest::LogLine>{
                  {"-1", GetParam().tag,
                   "curl_easy_setopt returned error:[An unknown option was passed in to libcurl] "
                   "options:[9999]"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Setters, InvalidOption,
    ::testing::Values(InvalidOptionCase{"KYLibCurl::KYLibCurlSetAdditionalOptions",
                                        [](KYLibCurl& s, CURLoption o) {
                                            return s.KYLibCurlSetAdditionalOptions(o);
                                        }},
                      InvalidOptionCase{"KYLibCurl::KYLibCurlSetAdditionalOptionsStringValue",
                                        [](KYLibCurl& s, CURLoption o) {
                                            return s.KYLibCurlSetAdditionalOptionsStringValue(o, "x");
                                        }},
                      InvalidOptionCase{"KYLibCurl::KYLibCurlSetAdditionalOptionsIntValue",
                                        [](KYLibCurl& s, CURLoption o) {
                                            return s.KYLibCurlSetAdditionalOptionsIntValue(o, 1);
                                        }},
                      InvalidOptionCase{"KYLibCurl::KYLibCurlSetAdditionalOptionsCOffValue",
                                        [](KYLibCurl& s, CURLoption o) {
                                            long value = 1;
                                            return s.KYLibCurlSetAdditionalOptionsCOffValue(o, value);
                                        }}));

TEST_F(OptionSetters, CallerWriteFunctionAndDataReceiveTheBody) {
    std::string body;
    ASSERT_TRUE(session.KYLibCurlSetCallbackWriteFunction(CollectInto));
    ASSERT_TRUE(session.KYLibCurlSetWriteData(&body));
    ASSERT_TRUE(Fetch("/bytes/6"));
    EXPECT_EQ(body, "abcdef");
    EXPECT_EQ(session.m_respData, nullptr);
}

TEST_F(OptionSetters, CallerReadFunctionSuppliesAChunkedBody) {
    kytest::BodySource source{"field=value&more=1"};
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "Transfer-Encoding: chunked"));
    ASSERT_TRUE(session.KYLibCurlSetAdditionalOptions(CURLOPT_POST));
    ASSERT_TRUE(session.KYLibCurlSetCallbackReadFunction(&kytest::BodySource::Read));
    ASSERT_TRUE(session.KYLibCurlSetReadData(&source));
    ASSERT_TRUE(Fetch("/echo"));

    kytest::ReceivedRequest request = server.lastRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(request.body, "field=value&more=1");
}

}  // namespace
}  // namespace kytest
