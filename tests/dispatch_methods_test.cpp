// Request dispatch: what each method puts on the wire, the header list, the success rule and the
// request types that name no method.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/test_server.h"

namespace kytest {
namespace {

constexpr char kTag[] = "KYLibCurl::KYLibCurlSendHttpReqInternal";
constexpr char kBody[] = "a=1&b=\x01\xff";  // exact bytes, one of them beyond ASCII
constexpr size_t kBodyLen = sizeof kBody - 1;

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(session.KYLibCurlInit()); }

    bool Send(_http_req_type_ type, const std::string& path, const void* data = kBody,
              size_t len = kBodyLen) {
        return session.KYLibCurlSendHttpReq(type, server.url(path), data, len, true, nullptr);
    }

    kytest::LogCapture log;
    kytest::TestServer server;
    KYLibCurl session;
};

struct MethodCase {
    _http_req_type_ type;
    const char* method;
    bool sendsBody;
};

TEST_F(Dispatch, EachMethodReachesTheServerWithItsMethodAndBody) {
    const MethodCase cases[] = {
        {HTTP_REQ_GET, "GET", false},      {HTTP_REQ_POST, "POST", true},  {HTTP_REQ_PUT, "PUT", true},
        {HTTP_REQ_DELETE, "DELETE", true}, {HTTP_REQ_HEAD, "HEAD", false}, {HTTP_REQ_PATCH, "PATCH", true},
    };
    for (const MethodCase& c : cases) {
        SCOPED_TRACE(c.method);
        ASSERT_TRUE(Send(c.type, "/echo"));
        const kytest::ReceivedRequest request = server.lastRequest();
        EXPECT_EQ(request.method, c.method);
        EXPECT_EQ(request.body, c.sendsBody ? std::string(kBody, kBodyLen) : std::string());
        EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
        EXPECT_EQ(request.headerCount("Content-Type"), 1u);
        EXPECT_EQ(session.m_httpRespCode, 200);
        EXPECT_EQ(session.m_reqType, c.type);
        if (!c.sendsBody) {
            EXPECT_FALSE(request.hasHeader("Content-Length"));
        }
    }
    // A text method's text is announced at level 2.
    EXPECT_TRUE(log.containsLine("2", kTag, "--> setting curl_option [10036] -> [PUT]"));
}

TEST_F(Dispatch, HeadReadsNoBody) {
    ASSERT_TRUE(Send(HTTP_REQ_HEAD, "/bytes/100"));
    size_t len = 1;
    EXPECT_EQ(session.GetHttpResponse(len, false), nullptr);
    EXPECT_EQ(len, 0u);
}

TEST_F(Dispatch, HeaderLinesCarryOverUnlessFreshListsAreAsked) {
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Earlier: 1"));
    ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/echo"), nullptr, 0, false, nullptr));
    EXPECT_EQ(server.lastRequest().header("X-Earlier"), "1");

    // Without fresh lists the lines go out again, the content-type line still once, and the replies
    // accumulate.
    ASSERT_TRUE(
        session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/bytes/3"), nullptr, 0, false, nullptr));
    EXPECT_EQ(server.lastRequest().header("X-Earlier"), "1");
    EXPECT_EQ(server.lastRequest().headerCount("Content-Type"), 1u);
    size_t len = 0;
    const std::string reply = session.GetHttpResponse(len, false);
    EXPECT_EQ(reply.substr(reply.size() - 3), "abc");

    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Dropped: 1"));
    ASSERT_TRUE(Send(HTTP_REQ_GET, "/echo"));
    EXPECT_FALSE(server.lastRequest().hasHeader("X-Earlier"));
    EXPECT_FALSE(server.lastRequest().hasHeader("X-Dropped"));
    EXPECT_EQ(server.lastRequest().headerCount("Content-Type"), 1u);
}

// A caller keeps its own header lines by keeping the list: request after request goes out byte for byte
// as the first did, whatever the method.
TEST_F(Dispatch, AKeptListSendsTheSameHeadEveryTime) {
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Kept: 1"));
    const _http_req_type_ types[] = {HTTP_REQ_GET, HTTP_REQ_POST, HTTP_REQ_PUT, HTTP_REQ_HEAD};
    for (int i = 0; i < 1000; ++i) {
        const _http_req_type_ type = types[i % 4];
        ASSERT_TRUE(session.KYLibCurlSendHttpReq(type, server.url("/echo"), kBody, kBodyLen, false, nullptr))
            << "request " << i;
    }
    const std::vector<kytest::ReceivedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 1000u);
    const std::string expectedFirst =
        "GET /echo HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
        "\r\nAccept: */*\r\nX-Kept: 1\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\n\r\n";
    EXPECT_EQ(requests[0].raw, expectedFirst);
    for (size_t i = 4; i < requests.size(); ++i) {
        ASSERT_EQ(requests[i].raw, requests[i % 4].raw) << "request " << i;
    }
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(requests[i].headerCount("Content-Type"), 1u) << requests[i].raw;
        EXPECT_EQ(requests[i].headerCount("X-Kept"), 1u) << requests[i].raw;
    }
}

TEST_F(Dispatch, StatusDecidesSuccess) {
    const struct {
        long status;
        bool ok;
    } cases[] = {{200, true}, {299, true}, {300, false}, {404, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(Send(HTTP_REQ_POST, "/status/" + std::to_string(c.status)), c.ok);
        EXPECT_EQ(session.m_httpRespCode, c.status);
    }
}

TEST_F(Dispatch, TypeSixEndsWithoutLineOrTransfer) {
    session.m_reqType = HTTP_REQ_PATCH;
    EXPECT_FALSE(Send(HTTP_REQ_UNKNOWN, "/echo"));
    EXPECT_EQ(session.m_reqType, HTTP_REQ_PATCH);
    EXPECT_EQ(server.requestCount(), 0u);
    for (const kytest::LogLine& line : log.lines()) EXPECT_NE(line.tag, kTag) << line.message;
}

TEST_F(Dispatch, TypesBeyondTheMethodsFailAtTheMethodOption) {
    const std::string line = std::string("failed to set curl option:[10265] err:[") +
                             curl_easy_strerror(CURLE_UNKNOWN_OPTION) + "]";
    for (int value : {7, -1}) {
        SCOPED_TRACE(value);
        log.clear();
        const auto type = static_cast<_http_req_type_>(value);
        EXPECT_FALSE(Send(type, "/echo"));
        EXPECT_EQ(session.m_reqType, type);
        EXPECT_TRUE(log.containsLine("-1", kTag, line));
    }
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST(RequestTypeString, NamesTheSixMethodsAndNothingElse) {
    const char* names[] = {"GET", "POST", "PUT", "DELETE", "HEAD", "PATCH", "UNKNOWN", "UNKNOWN"};
    for (int value = 0; value < 8; ++value) {
        EXPECT_STREQ(KYLibCurl::GetHttpReqTypeString(static_cast<_http_req_type_>(value)), names[value]);
    }
    EXPECT_STREQ(KYLibCurl::GetHttpReqTypeString(static_cast<_http_req_type_>(-1)), "UNKNOWN");
}

TEST_F(Dispatch, EveryEntryPointSendsTheRequest) {
    const std::string url = server.url("/echo");
    EXPECT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_PUT, url, kBody, kBodyLen, true, nullptr));
    EXPECT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_PUT, url.c_str(), kBody, kBodyLen, true, nullptr));
    EXPECT_TRUE(session.KYLibCurlSendHttpReqLog(HTTP_REQ_PUT, url, kBody, kBodyLen, true, false, nullptr));
    EXPECT_TRUE(
        session.KYLibCurlSendHttpReqLog(HTTP_REQ_PUT, url.c_str(), kBody, kBodyLen, true, false, nullptr));
    EXPECT_TRUE(
        session.KYLibCurlSendHttpReq2(HTTP_REQ_PUT, url.c_str(), kBody, kBodyLen, true, nullptr, true));
    ASSERT_EQ(server.requestCount(), 5u);
    for (const kytest::ReceivedRequest& request : server.requests()) {
        EXPECT_EQ(request.method, "PUT");
        EXPECT_EQ(request.body, std::string(kBody, kBodyLen));
    }
}

}  // namespace
}  // namespace kytest
