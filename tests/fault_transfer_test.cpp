// Faults while a transfer runs: the server drops the connection in the middle of a large body, and a
// tunnel dies under a routed transfer. What must hold: the request fails cleanly with its status, and the
// session (and the route) serve the next request. Leaks are the AddressSanitizer run's to find: each test
// runs in a process of its own, checked when it exits.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/bytes_pattern.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/reply_body.h"
#include "support/socket_kit.h"
#include "support/test_server.h"
#include "support/tppm_test_helpers.h"

namespace {

using Clock = std::chrono::steady_clock;

using kytest::Body;
using kytest::Pattern;

// Answers one request with a 200 head announcing twice the body it then sends, waits until the client's
// side has taken every byte, and resets the connection: the connection drops in the middle of the body.
class MidBodyResetServer {
  public:
    explicit MidBodyResetServer(size_t sent) : m_sent(sent), m_listener(kytest::BindLoopback(m_port, 4)) {
        m_thread = std::thread([this] { Serve(); });
    }
    ~MidBodyResetServer() {
        m_stop = true;
        m_thread.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/large"; }
    bool served() const { return m_served; }

  private:
    // Waits up to ten seconds for a connection; false on stop or time-out.
    bool WaitForClient() {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!m_stop && Clock::now() < deadline) {
            pollfd ready{m_listener.fd(), POLLIN, 0};
            if (poll(&ready, 1, 50) > 0) return true;
        }
        return false;
    }

    static bool ReadHead(int fd) {
        std::string head;
        char chunk[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0) return false;
            head.append(chunk, static_cast<size_t>(got));
        }
        return true;
    }

    // True once the peer's side has acknowledged every byte sent.
    bool WaitUntilTaken(int fd) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        int unsent = 1;
        while (!m_stop && Clock::now() < deadline && ioctl(fd, SIOCOUTQ, &unsent) == 0 && unsent > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return unsent == 0;
    }

    void Serve() {
        if (!WaitForClient()) return;
        kytest::Socket connection(accept4(m_listener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.valid()) return;
        kytest::BoundIo(connection.fd());
        const std::string head =
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
            std::to_string(2 * m_sent) + "\r\n\r\n";
        m_served = ReadHead(connection.fd()) && kytest::SendAll(connection.fd(), head + Pattern(m_sent)) &&
                   WaitUntilTaken(connection.fd());
        connection.reset();
    }

    size_t m_sent;
    int m_port = 0;
    kytest::Socket m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_served{false};
    std::thread m_thread;
};

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
    MidBodyResetServer dropping(sent);

    EXPECT_FALSE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, dropping.url(), nullptr, 0, true, nullptr));
    EXPECT_TRUE(dropping.served());
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
