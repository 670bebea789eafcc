// Faults while a transfer runs: the server drops the connection in the middle of a large body, and a
// tunnel dies under a routed transfer. What must hold: the request fails cleanly with its status, and the
// session (and the route) serve the next request. Leaks are the AddressSanitizer run's to find: each test
// runs in a process of its own, checked when it exits.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/bytes_pattern.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/reply_body.h"
#include "support/scripted_server.h"
#include "support/test_server.h"
#include "support/tppm_test_helpers.h"

namespace kytest {
namespace {

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

// An upload body without end that also notes how SIGPIPE is handled while libcurl runs: libcurl that sets
// the process-wide handler around its calls races with the other threads doing the same, and may leave it
// ignored, or at the default, for a thread that counted on the other.
struct EndlessUpload {
    std::atomic<int>* handlerChanged;

    static size_t Read(void* buffer, size_t size, size_t nitems, void* userdata) {
        struct sigaction now {};
        if (sigaction(SIGPIPE, nullptr, &now) != 0 || now.sa_handler != SIG_DFL)
            ++*static_cast<EndlessUpload*>(userdata)->handlerChanged;
        memset(buffer, 'u', size * nitems);
        return size * nitems;
    }
};

// The server turns down a body larger than it takes (400, then closes) right after the request head, while
// the client is still sending: every later send hits a closed connection. Eight sessions on eight threads
// do that over and over, in the clear and over TLS, with SIGPIPE at its default (which ends the process):
// each request fails, the process lives, and libcurl never touched the handler while they ran. The
// sessions end after the threads: libcurl's cleanup of a handle whose transfers used a share still sets the
// handler around its work.
TEST(PeerClosingMidUpload, NoThreadRaisesSigpipeAndEachRequestFails) {
    kytest::TestServer http;
    kytest::TestServer https(kytest::TestServer::Scheme::Https);
    // The test server ignores SIGPIPE for the process; its only write here, the 400, goes out while the
    // client still sends.
    signal(SIGPIPE, SIG_DFL);
    kytest::LogCapture quiet(-2);
    constexpr int kThreads = 8;
    constexpr int kRequests = 6;
    constexpr size_t kAnnounced = size_t(1) << 30;  // beyond the server's limit
    std::atomic<int> handlerChanged{0};
    EndlessUpload body{&handlerChanged};
    std::vector<std::unique_ptr<KYLibCurl>> sessions;
    for (int t = 0; t < kThreads; ++t) {
        sessions.push_back(std::make_unique<KYLibCurl>());
        KYLibCurl& session = *sessions.back();
        ASSERT_TRUE(session.KYLibCurlInit());
        ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, https.caFile().c_str()));
        ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "Expect:"));
        ASSERT_TRUE(session.KYLibCurlSetCallbackReadFunction(EndlessUpload::Read));
        ASSERT_TRUE(session.KYLibCurlSetReadData(&body));
    }
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const kytest::TestServer& server = t % 2 == 0 ? http : https;
            KYLibCurl& session = *sessions[t];
            for (int i = 0; i < kRequests; ++i) {
                const bool sent = session.KYLibCurlSendHttpReq(HTTP_REQ_POST, server.url("/upload"), nullptr,
                                                               kAnnounced, false, nullptr);
                const long status = session.m_httpRespCode;
                if (sent || (status != 0 && status != 400 && status != HTTP_RESP_CONNECT_FAILED))
                    ++unexpected;
            }
        });
    for (std::thread& thread : threads) thread.join();
    sessions.clear();

    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(handlerChanged.load(), 0);
    struct sigaction after {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &after), 0);
    EXPECT_EQ(after.sa_handler, SIG_DFL);
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
        QuietForget(session, url);
        std::string tunnelUrl;
        ASSERT_TRUE(session.getTPPMUrl(client, url, tunnelUrl, dynamic));
        const int deadPort = TunnelPort(tunnelUrl);
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
        const int freshPort = TunnelPort(QuietCachedPrefix(session, url));
        EXPECT_NE(freshPort, 0);
        EXPECT_NE(freshPort, deadPort);
    }
}

}  // namespace
}  // namespace kytest
