// The shared test fixture itself: what the server records and answers, and how it misbehaves on purpose.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "EvDebug.h"
#include "support/bytes_pattern.h"
#include "support/log_capture.h"
#include "support/process_kit.h"
#include "support/refused_port.h"
#include "support/socket_kit.h"
#include "support/test_server.h"

namespace kytest {
namespace {

// A plain socket client that sends exact bytes and reads replies framed by Content-Length. A failed
// connection fails the test, and every send after it.
class RawClient {
  public:
    explicit RawClient(int port) : m_socket(kytest::ConnectTo(port)) {
        if (!m_socket.valid()) ADD_FAILURE() << "no connection to port " << port;
    }

    bool send(const std::string& bytes) { return kytest::SendAll(m_socket.fd(), bytes); }
    // One whole reply; a reply to HEAD has no body whatever its Content-Length says.
    std::string reply(bool head = false) {
        size_t headEnd;
        while ((headEnd = m_buffer.find("\r\n\r\n")) == std::string::npos) {
            if (!fill()) return m_buffer;
        }
        size_t bodyStart = headEnd + 4;
        size_t length = 0;
        size_t field = m_buffer.find("Content-Length: ");
        if (!head && field != std::string::npos && field < headEnd) {
            length = std::strtoul(m_buffer.c_str() + field + 16, nullptr, 10);
        }
        while (m_buffer.size() < bodyStart + length) {
            if (!fill()) break;
        }
        std::string whole = m_buffer.substr(0, bodyStart + length);
        m_buffer.erase(0, whole.size());
        return whole;
    }
    // What recv reports once the server is gone: 0 (closed) or -1 with errno.
    ssize_t receiveOnce() {
        char byte;
        return ::recv(m_socket.fd(), &byte, 1, 0);
    }

  private:
    bool fill() {
        char chunk[4096];
        ssize_t got = ::recv(m_socket.fd(), chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        m_buffer.append(chunk, static_cast<size_t>(got));
        return true;
    }

    kytest::Socket m_socket;
    std::string m_buffer;
};

struct Fetched {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::string headers;
};

size_t appendTo(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// A transfer with a handle the caller may reuse, so that connection reuse can be seen.
Fetched perform(CURL* curl, const std::string& url) {
    Fetched fetched;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendTo);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &fetched.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, appendTo);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &fetched.headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    fetched.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &fetched.status);
    return fetched;
}

Fetched fetch(const std::string& url) {
    CURL* curl = curl_easy_init();
    Fetched fetched = perform(curl, url);
    curl_easy_cleanup(curl);
    return fetched;
}

TEST(TestServerTest, RecordsTheExactRequestBytesAndEchoesThem) {
    TestServer server;
    RawClient client(server.port());
    const std::string raw =
        "POST /echo?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Twice: one\r\nx-twice: two\r\n"
        "X-Spaced:   a: b  \r\nContent-Length: 5\r\n\r\nhello";
    ASSERT_TRUE(client.send(raw));

    std::string reply = client.reply();
    ReceivedRequest request = server.lastRequest();
    EXPECT_EQ(raw, request.raw);
    EXPECT_EQ("POST", request.method);
    EXPECT_EQ("/echo?x=1", request.target);
    EXPECT_EQ("hello", request.body);
    EXPECT_EQ("one", request.header("X-TWICE"));
    EXPECT_EQ(2u, request.headerCount("x-twice"));
    EXPECT_EQ("a: b", request.header("X-Spaced"));
    EXPECT_FALSE(request.hasHeader("Cookie"));
    const std::string echoed =
        "POST /echo?x=1\nHost: 127.0.0.1\nX-Twice: one\nx-twice: two\nX-Spaced:   a: b  \n"
        "Content-Length: 5\n\nhello";
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                  std::to_string(echoed.size()) + "\r\n\r\n" + echoed,
              reply);
}

TEST(TestServerTest, DechunksBodiesAndKeepsPipelinedRequestsOnOneConnection) {
    TestServer server;
    RawClient client(server.port());
    const std::string chunked =
        "PUT /upload HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5;name=x\r\nhello\r\nA\r\n and more!\r\n0\r\nX-Trailer: t\r\n\r\n";
    const std::string head = "HEAD /bytes/10 HTTP/1.1\r\n\r\n";
    const std::string last = "GET /status/404 HTTP/1.1\r\nConnection: close\r\n\r\n";
    ASSERT_TRUE(client.send(chunked + head + last));

    EXPECT_EQ(0u, client.reply().find("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n",
              client.reply(true));
    EXPECT_EQ(
        "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 10\r\nConnection: "
        "close\r\n\r\n"
        "status 404",
        client.reply());
    EXPECT_EQ(0, client.receiveOnce());

    std::vector<ReceivedRequest> requests = server.requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ(chunked, requests[0].raw);
    EXPECT_EQ("hello and more!", requests[0].body);
    EXPECT_EQ(head, requests[1].raw);
    EXPECT_EQ(last, requests[2].raw);
    for (const ReceivedRequest& request : requests) EXPECT_EQ(1u, request.connection);
    EXPECT_EQ(1u, server.connectionCount());
}

TEST(TestServerTest, AnswersEveryPathAsDocumented) {
    TestServer server;
    struct Case {
        std::string path;
        long status;
        std::string body;
        std::string header;  // a reply header line that must be present, or empty
    };
    const std::vector<Case> cases = {
        {"/status/503", 503, "status 503", ""},
        {"/bytes/30", 200, Pattern(30), ""},
        {"/bytes/0?status=202", 202, "", ""},
        {"/?status=418", 418, "ok", ""},
        {"/delay/1?status=201", 201, "delayed", ""},
        {"/any/thing?delay=1", 200, "ok", ""},
        {"/cookie/set?sid=a%3Db", 200, "ok", "Set-Cookie: sid=a=b; Path=/\r\n"},
        {"/header?X-One=1&X-Two=a%20b", 200, "ok", "X-One: 1\r\nX-Two: a b\r\n"},
        {"/header?Content-Type=application/json", 200, "ok", "Content-Type: application/json\r\n"},
        {"/status/abc", 400, "bad request", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Fetched fetched = fetch(server.url(c.path));
        ASSERT_EQ(CURLE_OK, fetched.code);
        EXPECT_EQ(c.status, fetched.status);
        EXPECT_EQ(c.body, fetched.body);
        EXPECT_NE(std::string::npos, fetched.headers.find(c.header));
    }
    EXPECT_EQ(cases.size(), server.requestCount());
    server.clearRequests();
    EXPECT_EQ(0u, server.requestCount());
    EXPECT_TRUE(server.lastRequest().raw.empty());
}

size_t readFrom(char* buffer, size_t size, size_t count, void* source) {
    auto* left = static_cast<std::string*>(source);
    size_t taken = std::min(size * count, left->size());
    left->copy(buffer, taken);
    left->erase(0, taken);
    return taken;
}

TEST(TestServerTest, LibcurlReusesOneConnectionAndSendsChunkedUploads) {
    TestServer server;
    CURL* curl = curl_easy_init();
    EXPECT_EQ("ok", perform(curl, server.url("/first")).body);
    EXPECT_EQ(Pattern(100000), perform(curl, server.url("/bytes/100000")).body);

    // An upload of unknown size goes chunked, announced with "Expect: 100-continue".
    std::string upload = Pattern(70000);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readFrom);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    Fetched put = perform(curl, server.url("/echo"));
    curl_easy_cleanup(curl);

    ASSERT_EQ(CURLE_OK, put.code);
    ReceivedRequest request = server.lastRequest();
    EXPECT_EQ("chunked", request.header("Transfer-Encoding"));
    EXPECT_EQ(Pattern(70000), request.body);
    EXPECT_EQ(3u, server.requestCount());
    EXPECT_EQ(1u, server.connectionCount());
}

TEST(TestServerTest, HttpsIsTrustedThroughItsOwnCaFileOnly) {
    std::string caFile;
    {
        TestServer server(TestServer::Scheme::Https);
        TestServer stranger(TestServer::Scheme::Https);
        caFile = server.caFile();
        ASSERT_FALSE(caFile.empty());
        EXPECT_EQ(0u, server.url("/x").find("https://127.0.0.1:"));

        CURL* curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
        EXPECT_EQ(Pattern(300000), perform(curl, server.url("/bytes/300000")).body);
        // By name too; the name is pinned so that nothing is looked up.
        std::string localhost = "localhost:" + std::to_string(server.port()) + ":127.0.0.1";
        curl_slist* resolve = curl_slist_append(nullptr, localhost.c_str());
        curl_easy_setopt(curl, CURLOPT_RESOLVE, resolve);
        Fetched named = perform(curl, "https://localhost:" + std::to_string(server.port()) + "/status/201");
        EXPECT_EQ(CURLE_OK, named.code);
        EXPECT_EQ(201, named.status);
        curl_easy_cleanup(curl);
        curl_slist_free_all(resolve);

        CURL* misled = curl_easy_init();
        curl_easy_setopt(misled, CURLOPT_CAINFO, stranger.caFile().c_str());
        EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, perform(misled, server.url("/")).code);
        curl_easy_cleanup(misled);
        EXPECT_EQ(2u, server.requestCount());
    }
    struct stat info;
    EXPECT_NE(0, ::stat(caFile.c_str(), &info));
}

TEST(TestServerTest, MisbehavesOnPurpose) {
    TestServer server;
    EXPECT_TRUE(server.caFile().empty());
    Fetched reset = fetch(server.url("/reset"));
    EXPECT_EQ(CURLE_RECV_ERROR, reset.code);
    EXPECT_EQ("/reset", server.lastRequest().target);

    Fetched dropped = fetch(server.url("/drop/100"));
    EXPECT_EQ(CURLE_PARTIAL_FILE, dropped.code);
    EXPECT_EQ(Pattern(100), dropped.body);

    const kytest::RefusedPort refusing;
    Fetched refused = fetch(refusing.url());
    EXPECT_EQ(CURLE_COULDNT_CONNECT, refused.code);
}

// The port stays taken for as long as the object lives: another socket cannot bind it, even one that asks
// to reuse the address, so no other test's server can be given it.
TEST(TestServerTest, RefusedPortRefusesAndKeepsItsPortWhileHeld) {
    const kytest::RefusedPort refusing;
    ASSERT_NE(0, refusing.port());
    errno = 0;
    kytest::Socket refused = kytest::ConnectTo(refusing.port());
    EXPECT_FALSE(refused.valid());
    EXPECT_EQ(ECONNREFUSED, errno);

    kytest::Socket other(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(other.valid());
    int on = 1;
    ::setsockopt(other.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(refusing.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    errno = 0;
    EXPECT_NE(0, ::bind(other.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address));
    EXPECT_EQ(EADDRINUSE, errno);
}

TEST(TestServerTest, StopsWhileAConnectionStallsOrWaits) {
    auto server = std::make_unique<TestServer>();
    RawClient stalled(server->port());
    RawClient delayed(server->port());
    ASSERT_TRUE(stalled.send("GET /stall HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(delayed.send("GET /delay/600000 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(server->waitForRequests(2));

    server.reset();
    // The server closed both without a reply; a receive time-out (EAGAIN) would mean it never let go.
    errno = 0;
    EXPECT_EQ(0, stalled.receiveOnce()) << errno;
    errno = 0;
    EXPECT_EQ(0, delayed.receiveOnce()) << errno;
}

TEST(TestServerTest, LogCaptureSetsRestoresAndParsesTheLoggerFile) {
    EvDebug::SetLevel(3);
    EvDebug::SetDestination("");
    std::string path;
    {
        LogCapture log(4);
        path = log.path();
        ASSERT_EQ(path, EvDebug::Destination());
        EXPECT_EQ(4, EvDebug::Level());
        std::ofstream(path, std::ios::app)
            << "2026-01-02 03:04:05.678 1407 -1 KYLibCurl::KYCurlSetUrl: failed "
               "[a: b]\n"
            << "2026-01-02 03:04:05.679 1407 - Tag: first\nsecond\n"
            << "2026-01-02 03:04:05.680 1407 7 TppmUrlMapInfo: \n";
        std::vector<LogLine> expected = {{"-1", "KYLibCurl::KYCurlSetUrl", "failed [a: b]"},
                                         {"-", "Tag", "first\nsecond"},
                                         {"7", "TppmUrlMapInfo", ""}};
        EXPECT_EQ(expected, log.lines());
        EXPECT_TRUE(log.contains("failed [a: b]"));
        EXPECT_FALSE(log.contains("failed"));
        EXPECT_TRUE(log.containsLine("-", "Tag", "first\nsecond"));
        EXPECT_FALSE(log.containsLine("2", "Tag", "first\nsecond"));
        log.clear();
        EXPECT_TRUE(log.lines().empty());
    }
    EXPECT_EQ("", EvDebug::Destination());
    EXPECT_EQ(3, EvDebug::Level());
    EvDebug::SetLevel(2);
    struct stat info;
    EXPECT_NE(0, ::stat(path.c_str(), &info));

    std::string dir;
    {
        TempDir temp;
        dir = temp.path();
        ::mkdir(temp.file("sub").c_str(), 0700);
        std::ofstream(temp.file("sub/f")) << "x";
        ASSERT_EQ(0, ::stat(temp.file("sub/f").c_str(), &info));
    }
    EXPECT_NE(0, ::stat(dir.c_str(), &info));
}

// A child that hangs where its alarm cannot end it (here: the alarm blocked) is killed by the parent.
TEST(TestServerTest, ChildThatIgnoresItsAlarmIsKilled) {
    const int status = kytest::RunInChild(
        [] {
            sigset_t alarmOnly;
            sigemptyset(&alarmOnly);
            sigaddset(&alarmOnly, SIGALRM);
            sigprocmask(SIG_BLOCK, &alarmOnly, nullptr);
            for (int i = 0; i < 600; ++i) sleep(1);
            return 0;
        },
        {0, 1});
    EXPECT_EQ(status, 128 + SIGKILL);
}

}  // namespace
}  // namespace kytest
