// Faults while a transfer runs: the server drops the connection in the middle of a large body, and a
// tunnel dies under a routed transfer. What must hold: the request fails cleanly with its status, and the
// session (and the route) serve the next request. Leaks are the AddressSanitizer run's to find: each test
// runs in a process of its own, checked when it exits.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/bytes_pattern.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/reply_body.h"
#include "support/scripted_server.h"
#include "support/test_server.h"
#include "support/tppm_test_helpers.h"

namespace {

using kytest::Body;
using kytest::Pattern;

// A 200 head announcing twice the body that follows it, then a reset once the client's side has taken
// every byte: the connection drops in the middle of the body.
kytest::ScriptedAnswer ResetInTheMiddleOfTheBody(size_t sent) {
    return kytest::ScriptedAnswer::Reset(
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
        std::to_string(2 * sent) + "\r\n\r\n" + Pattern(sent));
}

class TransferFault : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.KYLibCurlInit());
        // A guard against a hang, far above what any of these transfers takes.
        ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, 60000));
    }

    void ExpectUsable() {
        ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/bytes/100000"), nullptr, 0, true,
                                                 nullptr));
        EXPECT_EQ(session.m_httpRespCode, 200);
        EXPECT_EQ(Body(session), Pattern(100000));
    }

    kytest::LogCapture log{2};
    kytest::TestServer server;
    KYLibCurl session;
};

TEST_F(TransferFault, ConnectionResetInTheMiddleOfALargeBodyGives601AndTheSessionStaysUsable) {
    const size_t sent = 4 << 20;
    kytest::ScriptedServer dropping({ResetInTheMiddleOfTheBody(sent)});

    EXPECT_FALSE(
        session.KYLibCurlSendHttpReq(HTTP_REQ_GET, dropping.url("/large"), nullptr, 0, true, nullptr));
    EXPECT_EQ(dropping.deliveredCount(), 1u);
    EXPECT_EQ(session.m_httpRespCode, HTTP_RESP_CONNECT_FAILED);
    const std::string kept = Body(session);
    EXPECT_LE(kept.size(), sent);
    EXPECT_EQ(kept, Pattern(kept.size()));
    EXPECT_TRUE(log.contains("failed to send http request"));

    ASSERT_NO_FATAL_FAILURE(ExpectUsable());
}

// A clean close before the announced length is a partial transfer (result 18): not a connection failure,
// so the status read stays, but never a success either.
TEST_F(TransferFault, CleanCloseInTheMiddleOfABodyFailsAndTheSessionStaysUsable) {
    EXPECT_FALSE(
        session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/drop/1000000"), nullptr, 0, true, nullptr));
    EXPECT_EQ(session.m_httpRespCode, 200);
    const std::string kept = Body(session);
    EXPECT_LE(kept.size(), 1000000u);
    EXPECT_EQ(kept, Pattern(kept.size()));
    const std::string partial = std::string("curl-err:[") + curl_easy_strerror(CURLE_PARTIAL_FILE) + "]";
    bool detailLine = false;
    for (const std::string& message : log.messages()) detailLine |= message.rfind(partial, 0) == 0;
    EXPECT_TRUE(detailLine);

    ASSERT_NO_FATAL_FAILURE(ExpectUsable());
}

class TunnelFault : public TransferFault {
  protected:
    kytest::FreshFirewall firewall;
    // Sends on a thread of its own and closes the tunnel at port once the server holds the request.
    void CloseTunnelUnder(int port, const std::function<void()>& send) {
        const size_t before = server.requestCount();
        std::thread transfer(send);
        const bool arrived = server.waitForRequests(before + 1);
        const bool closed = kyfw::closeTunnel(port);
        transfer.join();
        ASSERT_TRUE(arrived);
        ASSERT_TRUE(closed);
    }
};

// The tunnel closes while a routed transfer waits for its reply: before any reply byte arrived that is a
// stale tunnel on either route. The ordinary route asks the firewall client again, the dynamic route sets
// up a fresh tunnel, and the request goes out once more through it; the server answers that one.
TEST_F(TunnelFault, TunnelDyingBeforeTheReplyIsReconnectedOnEitherRoute) {
    for (const bool dynamic : {false, true}) {
        SCOPED_TRACE(dynamic ? "dynamic route" : "ordinary route");
        const std::string client = dynamic ? "dying-dynamic-client" : "dying-tunnel-client";
        const std::string host = dynamic ? "dying-dynamic-host" : "dying-tunnel-host";
        const std::string url = "http://" + host + ":" + std::to_string(server.port()) + "/delay/2000";
        kyfw::setRoute("", kyfw::Route::Tunnel);
        tppmtest::QuietForget(session, url);
        std::string tunnelUrl;
        ASSERT_TRUE(session.getTPPMUrl(client, url, tunnelUrl, dynamic));
        const int deadPort = tppmtest::TunnelPort(tunnelUrl);
        ASSERT_NE(deadPort, 0);
        const size_t requestsBefore = server.requestCount();
        log.clear();

        bool ok = false;
        ASSERT_NO_FATAL_FAILURE(CloseTunnelUnder(deadPort, [&] {
            ok = session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true, client.c_str(),
                                               dynamic);
        }));

        EXPECT_TRUE(ok);
        EXPECT_EQ(session.m_httpRespCode, 200);
        EXPECT_EQ(Body(session), "delayed");
        EXPECT_EQ(server.requestCount() - requestsBefore, 2u);
        EXPECT_TRUE(log.contains("Unable to connect to dynamic tppm url [" + tunnelUrl +
                                 "], refetching tppm url for [" + url + "] and retrying"));
        EXPECT_FALSE(log.contains("failed to send http request"));
        const int freshPort = tppmtest::TunnelPort(tppmtest::QuietCachedPrefix(session, url));
        EXPECT_NE(freshPort, 0);
        EXPECT_NE(freshPort, deadPort);
    }
}

}  // namespace
