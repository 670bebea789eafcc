// Fault: a reply header line that cannot be stored. Before anything initialises libcurl in this process,
// its allocator is replaced (curl_global_init_mem) by one that refuses to copy the lines that begin with a
// marker, as an allocation that fails would. What must hold: the request fails, as when the body cannot
// be stored, never a success with a line missing; and the session stays usable.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/test_server.h"

namespace kytest {
namespace {

constexpr char kMarker[] = "X-Unstorable";

char* RefusingStrdup(const char* text) {
    if (strncmp(text, kMarker, sizeof kMarker - 1) == 0) return nullptr;
    return strdup(text);
}

struct RefusingAllocator {
    RefusingAllocator() {
        curl_global_init_mem(CURL_GLOBAL_ALL, malloc, free, realloc, RefusingStrdup, calloc);
    }
} g_refusingAllocator;

class ReplyLinesFault : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(session.KYLibCurlInit()); }

    kytest::LogCapture log{2};
    kytest::TestServer server;
    KYLibCurl session;
};

TEST_F(ReplyLinesFault, ALineThatCannotBeStoredFailsTheRequest) {
    const std::string url = server.url("/header?X-Before=1&X-Unstorable=1&X-After=1");
    EXPECT_FALSE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, nullptr));
    EXPECT_EQ(session.m_httpRespCode, 200);
    EXPECT_STREQ(session.GetHttpResponseHeader("X-Before"), "X-Before: 1\r\n");
    EXPECT_EQ(session.GetHttpResponseHeader(kMarker), nullptr);
    EXPECT_TRUE(log.contains("failed to send http request"));
    EXPECT_FALSE(log.contains("failed to send http request. err:[CURL_WRITE_ERROR] ErrorStr:[" +
                              std::string(curl_easy_strerror(CURLE_WRITE_ERROR)) +
                              "].  Ignoring this error and moving on."));

    // The plain perform reports it too.
    session.KYLibCurlFreeHttpHeaderList();
    ASSERT_TRUE(session.KYCurlSetUrl(url.c_str()));
    EXPECT_FALSE(session.KYCurlPostSubmitForm());
    EXPECT_TRUE(log.contains(std::string("curl_easy_perform failed err:[") +
                             curl_easy_strerror(CURLE_WRITE_ERROR) + "]"));

    ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/header?X-After=1"), nullptr, 0, true,
                                             nullptr));
    EXPECT_STREQ(session.GetHttpResponseHeader("X-After"), "X-After: 1\r\n");
}

}  // namespace
}  // namespace kytest
