// Operations on a session that has no transfer handle fail with their own line and crash nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/transfer_callbacks.h"

namespace kytest {
namespace {

const std::string kBadArgument = "A libcurl function was given a bad argument";

struct NullHandleCase {
    const char* name;
    bool (*call)(KYLibCurl&);
    const char* tag;
    std::string message;
};

class NullHandle : public ::testing::TestWithParam<NullHandleCase> {};

TEST_P(NullHandle, FailsWithItsLine) {
    kytest::LogCapture log;
    KYLibCurl session;
    EXPECT_FALSE(GetParam().call(session));
    EXPECT_EQ(log.lines(), (std::vector<kytest::LogLine>{{"-1", GetParam().tag, GetParam().message}}));
    // A call that failed leaves nothing behind for a later request.
    EXPECT_EQ(session.m_reqHeaders, nullptr);
    EXPECT_EQ(session.m_respHeaders, nullptr);
    EXPECT_FALSE(session.m_chunked);
}

std::string Failed(const char* option) {
    return std::string("failed to set curl option:[") + option + "] err:[" + kBadArgument + "]";
}

std::string RawFailed(int option) {
    return "curl_easy_setopt returned error:[" + kBadArgument + "] options:[" + std::to_string(option) + "]";
}

INSTANTIATE_TEST_SUITE_P(
    Operations, NullHandle,
    ::testing::Values(
        NullHandleCase{"SetUrl", [](KYLibCurl& s) { return s.KYCurlSetUrl("http://127.0.0.1/"); },
                       "KYLibCurl::KYCurlSetUrl", Failed("CURLOPT_URL")},
        NullHandleCase{"Submit", [](KYLibCurl& s) { return s.KYCurlPostSubmitForm(); },
                       "KYLibCurl::KYCurlPostSubmitForm",
                       "curl_easy_perform failed err:[" + kBadArgument + "]"},
        NullHandleCase{"HeaderLine",
                       [](KYLibCurl& s) { return s.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-A: 1"); },
                       "KYLibCurl::KYLibCurlAppendHeaders",
                       "curl_easy_setopt returned error:[" + kBadArgument + "] options:[CURLOPT_HTTPHEADER]"},
        NullHandleCase{"UserPwd",
                       [](KYLibCurl& s) { return s.KYLibCurlAppendHeader(HTTP_HDR_USERPWD, "u:p"); },
                       "KYLibCurl::KYLibCurlAppendHeaders", Failed("CURLOPT_USERPWD")},
        NullHandleCase{"CaInfo",
                       [](KYLibCurl& s) { return s.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, "/ca.pem"); },
                       "KYLibCurl::KYLibCurlAppendHeaders", Failed("CURLOPT_CAINFO")},
        NullHandleCase{"ChunkedLine",
                       [](KYLibCurl& s) {
                           return s.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "Transfer-Encoding: chunked");
                       },
                       "KYLibCurl::KYLibCurlAppendHeaders",
                       "curl_easy_setopt returned error:[" + kBadArgument + "] options:[CURLOPT_HTTPHEADER]"},
        NullHandleCase{"InitHeaders", [](KYLibCurl& s) { return s.KYLibCulrInitHttpHeaders(); },
                       "KYLibCurl::KYLibCulrInitHttpHeaders",
                       "kycurl_esetopt returned error:[" + kBadArgument + "] options:[CURLOPT_HTTPHEADER]"},
        NullHandleCase{"WriteFunction",
                       [](KYLibCurl& s) { return s.KYLibCurlSetCallbackWriteFunction(Discard); },
                       "KYLibCurl::KYLibCurlSetCallbackWriteFunction", Failed("CURLOPT_WRITEFUNCTION")},
        NullHandleCase{"WriteData", [](KYLibCurl& s) { return s.KYLibCurlSetWriteData(&s); },
                       "KYLibCurl::KYLibCurlSetWriteData", Failed("CURLOPT_WRITEDATA")},
        NullHandleCase{"ReadFunction",
                       [](KYLibCurl& s) { return s.KYLibCurlSetCallbackReadFunction(Discard); },
                       "KYLibCurl::KYLibCurlSetCallbackReadFunction", Failed("CURLOPT_READFUNCTION")},
        NullHandleCase{"ReadData", [](KYLibCurl& s) { return s.KYLibCurlSetReadData(&s); },
                       "KYLibCurl::KYLibCurlSetReadData", Failed("CURLOPT_READDATA")},
        NullHandleCase{"Body", [](KYLibCurl& s) { return s.prepPost("a=1", 3); }, "KYLibCurl::prepPost",
                       Failed("CURLOPT_POSTFIELDSIZE_LARGE")},
        NullHandleCase{"Option",
                       [](KYLibCurl& s) { return s.KYLibCurlSetAdditionalOptions(CURLOPT_VERBOSE); },
                       "KYLibCurl::KYLibCurlSetAdditionalOptions", RawFailed(CURLOPT_VERBOSE)},
        NullHandleCase{
            "StringOption",
            [](KYLibCurl& s) { return s.KYLibCurlSetAdditionalOptionsStringValue(CURLOPT_USERAGENT, "a"); },
            "KYLibCurl::KYLibCurlSetAdditionalOptionsStringValue", RawFailed(CURLOPT_USERAGENT)},
        NullHandleCase{
            "IntOption",
            [](KYLibCurl& s) { return s.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, 5); },
            "KYLibCurl::KYLibCurlSetAdditionalOptionsIntValue", RawFailed(CURLOPT_TIMEOUT_MS)},
        NullHandleCase{"OffOption",
                       [](KYLibCurl& s) {
                           long offset = 3;
                           return s.KYLibCurlSetAdditionalOptionsCOffValue(CURLOPT_RESUME_FROM_LARGE, offset);
                       },
                       "KYLibCurl::KYLibCurlSetAdditionalOptionsCOffValue",
                       RawFailed(CURLOPT_RESUME_FROM_LARGE)}),
    [](const ::testing::TestParamInfo<NullHandleCase>& info) { return std::string(info.param.name); });

struct CookieCase {
    _http_hdr_type_ type;
    std::string printed;
};

class NullHandleCookie : public ::testing::TestWithParam<CookieCase> {};

// The cookie kinds report to standard output, without a line end, and not to the log.
TEST_P(NullHandleCookie, FailurePrintsToStandardOutput) {
    kytest::LogCapture log;
    KYLibCurl session;
    ::testing::internal::CaptureStdout();
    bool set = session.KYLibCurlAppendHeader(GetParam().type, "/tmp/cookies.txt");
    std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(set);
    EXPECT_EQ(printed, GetParam().printed);
    EXPECT_TRUE(log.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NullHandleCookie,
    ::testing::Values(CookieCase{HTTP_HDR_COOKIEFILE,
                                 "failed to set curl option:[CURLOPT_COOKIEFILE] err:[" + kBadArgument + "]"},
                      CookieCase{HTTP_HDR_COOKIEJAR, "failed to set curl option:[CURLOPT_COOKIEJAR ] err:[" +
                                                         kBadArgument + "]"}));

TEST(NullHandleSafe, NullCaInfoAndUnknownKindStillSucceed) {
    KYLibCurl session;
    EXPECT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, nullptr));
    EXPECT_TRUE(session.KYLibCurlAppendHeader(static_cast<_http_hdr_type_>(9), "x"));
}

TEST(NullHandleSafe, ReleaseAndReplyAccessWorkWithoutHandle) {
    KYLibCurl session;
    EXPECT_FALSE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-A: 1"));
    EXPECT_EQ(session.m_reqHeaders, nullptr);  // the refused line is not kept
    session.KYLibCurlFreeHttpHeaderList();
    EXPECT_EQ(session.m_reqHeaders, nullptr);
    size_t len = 5;
    EXPECT_EQ(session.GetHttpResponse(len, true), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(session.GetHttpResponseHeader("X"), nullptr);
    session.KYLibCurlDeInit();
    EXPECT_EQ(session.m_curlHandle, nullptr);
}

}  // namespace
}  // namespace kytest
