// Request dispatch over the life of a session: many requests on one handle, each going out exactly as
// asked, with nothing left over from the requests before it; HTTPS and cookies through the dispatcher.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/read_file.h"
#include "support/test_server.h"

namespace kytest {
namespace {

struct Step {
    _http_req_type_ type;
    std::string body;
    std::string path;
};

const char* MethodText(_http_req_type_ type) { return KYLibCurl::GetHttpReqTypeString(type); }

bool SendsBody(_http_req_type_ type) { return type != HTTP_REQ_GET && type != HTTP_REQ_HEAD; }

class DispatchSession : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(session.KYLibCurlInit()); }

    // Sends the step and checks what the server received; the result must follow the status asked for.
    void SendAndCheck(const Step& step) {
        SCOPED_TRACE(std::string(MethodText(step.type)) + " " + step.path + " body " +
                     std::to_string(step.body.size()));
        const size_t before = server.requestCount();
        const bool ok = session.KYLibCurlSendHttpReqLog(step.type, server.url(step.path), step.body.data(),
                                                        step.body.size(), true, false, nullptr);
        EXPECT_EQ(ok, step.path == "/echo");
        ASSERT_EQ(server.requestCount(), before + 1);
        const kytest::ReceivedRequest request = server.lastRequest();
        EXPECT_EQ(request.method, MethodText(step.type));
        EXPECT_EQ(request.target, step.path);
        EXPECT_EQ(request.body, SendsBody(step.type) ? step.body : std::string());
        if (!SendsBody(step.type)) {
            EXPECT_FALSE(request.hasHeader("Content-Length"));
        }
        size_t len = 0;
        session.GetHttpResponse(len, false);
        EXPECT_EQ(len == 0, step.type == HTTP_REQ_HEAD);
    }

    kytest::LogCapture log;
    kytest::TestServer server;
    KYLibCurl session;
};

TEST_F(DispatchSession, NoMethodOrBodyCarriesOverToTheNextRequest) {
    const Step sequences[][2] = {
        {{HTTP_REQ_HEAD, "h", "/echo"}, {HTTP_REQ_PUT, "put-body", "/echo"}},
        {{HTTP_REQ_HEAD, "h", "/echo"}, {HTTP_REQ_POST, "post-body", "/echo"}},
        {{HTTP_REQ_HEAD, "h", "/echo"}, {HTTP_REQ_PATCH, "patch-body", "/echo"}},
        {{HTTP_REQ_HEAD, "h", "/echo"}, {HTTP_REQ_GET, "g", "/echo"}},
        {{HTTP_REQ_PUT, "put-body", "/echo"}, {HTTP_REQ_GET, "g", "/echo"}},
        {{HTTP_REQ_PUT, "put-body", "/echo"}, {HTTP_REQ_HEAD, "h", "/echo"}},
        {{HTTP_REQ_DELETE, "gone", "/echo?status=404"}, {HTTP_REQ_GET, "g", "/echo"}},
        {{HTTP_REQ_POST, "post-body", "/echo"}, {HTTP_REQ_GET, "", "/echo"}},
    };
    for (const auto& sequence : sequences) {
        for (const Step& step : sequence) SendAndCheck(step);
    }
}

// A request that ends early, after its method text was installed and before any transfer is judged: a
// dynamic tunnel that is refused and cannot be set up again.
TEST_F(DispatchSession, RequestEndingEarlyLeavesNoMethodBehind) {
    const char* client = "dispatch-leftover-client";
    kyfw::setRoute(client, kyfw::Route::Tunnel);
    ASSERT_TRUE(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, server.url("/echo").c_str(), nullptr, 0, true,
                                              client, true));
    kyfw::closeAllTunnels();
    kyfw::setRoute(client, kyfw::Route::Refuse);

    session.m_httpRespCode = 777;
    EXPECT_FALSE(session.KYLibCurlSendHttpReq2(HTTP_REQ_DELETE, server.url("/echo").c_str(), "d", 1, true,
                                               client, true));
    EXPECT_EQ(session.m_httpRespCode, 0);
    EXPECT_FALSE(log.contains("failed to send http request"));
    kyfw::resetRoutes();

    // What the handle holds now goes out as is: the body stays, the method text does not.
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/echo").c_str()));
    EXPECT_TRUE(session.KYCurlPostSubmitForm());
    EXPECT_EQ(server.lastRequest().method, "POST");
    EXPECT_EQ(server.lastRequest().body, "d");

    SendAndCheck({HTTP_REQ_GET, "", "/echo"});
    SendAndCheck({HTTP_REQ_HEAD, "", "/echo"});
}

// A method the library has no type for is sent by setting its text through the raw option setter; GET,
// POST and HEAD requests then go out under it, with their own body rules. A text method's request puts
// its own text in its place, and clears it when it ends.
TEST_F(DispatchSession, TheCallersOwnMethodTextSurvivesGetPostAndHead) {
    const struct {
        const char* text;
        _http_req_type_ type;
        const char* body;
    } cases[] = {
        {"PROPFIND", HTTP_REQ_GET, ""},
        {"PROPFIND", HTTP_REQ_POST, "<propfind/>"},
        {"OPTIONS", HTTP_REQ_HEAD, ""},
        {"OPTIONS", HTTP_REQ_GET, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " over " + MethodText(c.type));
        ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsStringValue(CURLOPT_CUSTOMREQUEST, c.text));
        for (int twice = 0; twice < 2; ++twice) {
            ASSERT_TRUE(session.KYLibCurlSendHttpReq(c.type, server.url("/echo"), c.body, strlen(c.body),
                                                     true, nullptr));
            EXPECT_EQ(server.lastRequest().method, c.text);
            EXPECT_EQ(server.lastRequest().body, c.body);
        }
    }
    SendAndCheck({HTTP_REQ_PUT, "put-body", "/echo"});
    SendAndCheck({HTTP_REQ_GET, "", "/echo"});
}

// Random methods, bodies (any bytes, zero bytes included) and outcomes on one session, seeded so that a
// failure can be replayed.
TEST_F(DispatchSession, ManyRequestsInARowEachGoOutAsAsked) {
    const _http_req_type_ types[] = {HTTP_REQ_GET,    HTTP_REQ_POST, HTTP_REQ_PUT,
                                     HTTP_REQ_DELETE, HTTP_REQ_HEAD, HTTP_REQ_PATCH};
    std::mt19937 random(20240611);
    for (int i = 0; i < 300; ++i) {
        Step step{types[random() % 6], std::string(random() % 48, '\0'),
                  random() % 5 ? "/echo" : "/echo?status=500"};
        for (char& byte : step.body) byte = static_cast<char>(random());
        SendAndCheck(step);
        if (HasFailure()) FAIL() << "request " << i;
    }
}

TEST(DispatchHttps, PeerIsVerifiedAgainstTheGivenCa) {
    kytest::LogCapture log;
    kytest::TestServer server(kytest::TestServer::Scheme::Https);
    const std::string url = server.url("/echo");

    KYLibCurl trusting;
    ASSERT_TRUE(trusting.KYLibCurlInit());
    ASSERT_TRUE(trusting.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, server.caFile().c_str()));
    EXPECT_TRUE(trusting.KYLibCurlSendHttpReq(HTTP_REQ_POST, url, "x=1", 3, true, nullptr));
    EXPECT_EQ(server.lastRequest().body, "x=1");

    KYLibCurl unknowing;
    ASSERT_TRUE(unknowing.KYLibCurlInit());
    EXPECT_FALSE(unknowing.KYLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, nullptr));
    EXPECT_EQ(unknowing.m_httpRespCode, 0);

    KYLibCurl skipping;
    ASSERT_TRUE(skipping.KYLibCurlInit(nullptr, true));
    EXPECT_TRUE(skipping.KYLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, nullptr));
    EXPECT_EQ(skipping.m_httpRespCode, 200);
}

TEST(DispatchCookies, JarIsWrittenAndSentBackFromTheFile) {
    kytest::LogCapture log;
    kytest::TempDir dir;
    kytest::TestServer server;
    const std::string jar = dir.file("cookies.txt");
    {
        KYLibCurl writer;
        ASSERT_TRUE(writer.KYLibCurlInit());
        ASSERT_TRUE(writer.KYLibCurlAppendHeader(HTTP_HDR_COOKIEJAR, jar.c_str()));
        ASSERT_TRUE(writer.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/cookie/set?flavour=oat"), nullptr,
                                                0, true, nullptr));
    }
    const std::string content = kytest::ReadFile(jar);
    EXPECT_NE(content.find("flavour\toat"), std::string::npos) << content;

    KYLibCurl reader;
    ASSERT_TRUE(reader.KYLibCurlInit());
    ASSERT_TRUE(reader.KYLibCurlAppendHeader(HTTP_HDR_COOKIEFILE, jar.c_str()));
    ASSERT_TRUE(reader.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/echo"), nullptr, 0, true, nullptr));
    EXPECT_EQ(server.lastRequest().header("Cookie"), "flavour=oat");
}

}  // namespace
}  // namespace kytest
