#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KyFwClient.h"
#include "KyFwControl.h"

namespace {

constexpr int kIoTimeoutSeconds = 10;

class Socket {
  public:
    explicit Socket(int fd = -1) : m_fd(fd) {}
    ~Socket() { close(); }
    Socket(Socket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }
    void close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    void reset() {
        linger hard{1, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }

  private:
    int m_fd;
};

// Every read and write gives up after a while, so a relay fault fails the test instead of hanging it.
void boundIo(int fd) {
    timeval limit{kIoTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// The connected socket, or an empty one with errno from connect.
Socket connectTo(int port) {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    boundIo(socket.fd());
    sockaddr_in address = loopback(port);
    if (connect(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        socket.close();
        errno = error;
    }
    return socket;
}

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly size bytes; fewer when the stream ends or fails first.
std::string receiveExactly(int fd, size_t size) {
    std::string data(size, '\0');
    size_t got = 0;
    while (got < size) {
        ssize_t n = recv(fd, &data[got], size - got, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    data.resize(got);
    return data;
}

// What one recv after the payload gives: 0 for an orderly end, -1 with errno otherwise.
struct StreamEnd {
    ssize_t result;
    int error;
};
StreamEnd readEnd(int fd) {
    char byte;
    ssize_t n = recv(fd, &byte, 1, 0);
    return {n, n < 0 ? errno : 0};
}

// Echoes every connection until the peer's end, then ends its own side; can instead reset a connection
// after its first byte. Records how each connection ended.
class EchoServer {
  public:
    enum class Mode { Echo, ResetAfterFirstByte };

    explicit EchoServer(Mode mode = Mode::Echo)
        : m_mode(mode), m_listener(::socket(AF_INET, SOCK_STREAM, 0)) {
        int on = 1;
        setsockopt(m_listener.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        bind(m_listener.fd(), reinterpret_cast<sockaddr*>(&address), length);
        listen(m_listener.fd(), 64);
        getsockname(m_listener.fd(), reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { acceptLoop(); });
    }
    ~EchoServer() {
        m_stop = true;
        m_acceptor.join();
        for (auto& worker : m_workers) worker.join();
    }

    int port() const { return m_port; }

    // Waits for the nth ending (1-based): "eof" or "reset"; "" when it does not come in time.
    std::string ending(size_t n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(kIoTimeoutSeconds),
                           [&] { return m_endings.size() >= n; });
        return m_endings.size() >= n ? m_endings[n - 1] : "";
    }

  private:
    void acceptLoop() {
        while (!m_stop) {
            pollfd ready{m_listener.fd(), POLLIN, 0};
            if (poll(&ready, 1, 50) != 1) continue;
            int fd = accept(m_listener.fd(), nullptr, nullptr);
            if (fd < 0) continue;
            m_workers.emplace_back([this, fd] { serve(Socket(fd)); });
        }
    }

    void serve(Socket connection) {
        boundIo(connection.fd());
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            ssize_t n = recv(connection.fd(), buffer.data(), buffer.size(), 0);
            if (n < 0) return record(errno == ECONNRESET ? "reset" : "error");
            if (n == 0) break;
            if (m_mode == Mode::ResetAfterFirstByte) {
                connection.reset();
                return record("reset sent");
            }
            if (!sendAll(connection.fd(), buffer.data(), static_cast<size_t>(n))) return record("reset");
        }
        shutdown(connection.fd(), SHUT_WR);
        record("eof");
    }

    void record(const std::string& ending) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_endings.push_back(ending);
        m_changed.notify_all();
    }

    Mode m_mode;
    Socket m_listener;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    std::vector<std::thread> m_workers;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_endings;
};

// A socket bound to a port on 127.0.0.1 that never listens: connecting to the port is refused for as long
// as it is held, and no other socket can take the port meanwhile.
Socket bindWithoutListening(int& port) {
    Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), length);
    getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return socket;
}

int openTunnel(const char* name, int port) {
    KyFwError err;
    int localPort = KyFwClient::setupTPPM(name, port, nullptr, &err);
    EXPECT_NE(localPort, 0) << err.m_message;
    return localPort;
}

bool waitForLiveConnections(size_t count) {
    for (int i = 0; i < kIoTimeoutSeconds * 100; ++i) {
        if (kyfw::liveConnectionCount() == count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

uint64_t fnv1a(uint64_t hash, const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
    return hash;
}
constexpr uint64_t kFnvSeed = 14695981039346656037ull;

class KyFwTunnelRelay : public testing::Test {
  protected:
    void SetUp() override {
        kyfw::resetRoutes();
        kyfw::closeAllTunnels();
    }
    void TearDown() override { kyfw::closeAllTunnels(); }
};

TEST_F(KyFwTunnelRelay, RelaysBytesBothWaysAndPassesHalfCloseOn) {
    EchoServer echo;
    int port = openTunnel("*unlisted*0*0", echo.port());  // no entry: relayed to 127.0.0.1
    Socket client = connectTo(port);
    ASSERT_GE(client.fd(), 0);
    for (const std::string& message :
         {std::string("hello"), std::string(1, '\0'), std::string(100000, 'x')}) {
        ASSERT_TRUE(sendAll(client.fd(), message.data(), message.size()));
        EXPECT_EQ(receiveExactly(client.fd(), message.size()), message);
    }
    // The server answers the last bytes only after it saw our end, and then ends its side.
    ASSERT_EQ(shutdown(client.fd(), SHUT_WR), 0);
    EXPECT_EQ(echo.ending(1), "eof");
    StreamEnd end = readEnd(client.fd());
    EXPECT_EQ(end.result, 0) << strerror(end.error);
}

// The relay stops reading a socket that gave fewer bytes than asked; an end that arrives with the last
// bytes must not be lost that way. Many short exchanges, each sending its bytes and its end at once.
TEST_F(KyFwTunnelRelay, AnEndRightBehindTheLastBytesIsPassedOn) {
    EchoServer echo;
    int port = openTunnel("*unlisted*0*0", echo.port());
    constexpr size_t kExchanges = 40;
    for (size_t i = 1; i <= kExchanges; ++i) {
        Socket client = connectTo(port);
        ASSERT_GE(client.fd(), 0);
        const std::string message(i * 97, static_cast<char>('a' + i % 26));
        ASSERT_TRUE(sendAll(client.fd(), message.data(), message.size()));
        ASSERT_EQ(shutdown(client.fd(), SHUT_WR), 0);
        EXPECT_EQ(receiveExactly(client.fd(), message.size()), message);
        ASSERT_EQ(echo.ending(i), "eof") << "exchange " << i;
        StreamEnd end = readEnd(client.fd());
        EXPECT_EQ(end.result, 0) << "exchange " << i << ": " << strerror(end.error);
    }
}

TEST_F(KyFwTunnelRelay, TransfersSixteenMebibytesIntact) {
    EchoServer echo;
    kyfw::setRoute("bulk", kyfw::Route::Tunnel);
    int port = openTunnel("bulk", echo.port());
    Socket client = connectTo(port);
    ASSERT_GE(client.fd(), 0);

    constexpr size_t kTotal = 16u << 20;
    uint64_t sentHash = kFnvSeed;
    bool sentAll = false;
    std::thread writer([&] {
        std::vector<char> chunk(256 * 1024);
        uint64_t state = 0x9e3779b97f4a7c15ull;
        size_t sent = 0;
        while (sent < kTotal) {
            for (char& byte : chunk) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                byte = static_cast<char>(state);
            }
            if (!sendAll(client.fd(), chunk.data(), chunk.size())) break;
            sentHash = fnv1a(sentHash, chunk.data(), chunk.size());
            sent += chunk.size();
        }
        sentAll = sent == kTotal;
        shutdown(client.fd(), SHUT_WR);
    });
    uint64_t receivedHash = kFnvSeed;
    size_t received = 0;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        ssize_t n = recv(client.fd(), buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        receivedHash = fnv1a(receivedHash, buffer.data(), static_cast<size_t>(n));
        received += static_cast<size_t>(n);
    }
    writer.join();
    EXPECT_TRUE(sentAll);
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(receivedHash, sentHash);
    EXPECT_EQ(echo.ending(1), "eof");
}

TEST_F(KyFwTunnelRelay, TargetResetReachesTheClientAsReset) {
    EchoServer resetter(EchoServer::Mode::ResetAfterFirstByte);
    int port = openTunnel("*resetting*0*0", resetter.port());
    Socket client = connectTo(port);
    ASSERT_GE(client.fd(), 0);
    ASSERT_TRUE(sendAll(client.fd(), "x", 1));
    EXPECT_EQ(resetter.ending(1), "reset sent");
    StreamEnd end = readEnd(client.fd());
    EXPECT_EQ(end.result, -1);
    EXPECT_EQ(end.error, ECONNRESET) << strerror(end.error);
}

TEST_F(KyFwTunnelRelay, ClientResetReachesTheTargetAsReset) {
    EchoServer echo;
    int port = openTunnel("*resetting*0*0", echo.port());
    Socket client = connectTo(port);
    ASSERT_GE(client.fd(), 0);
    ASSERT_TRUE(sendAll(client.fd(), "ping", 4));
    ASSERT_EQ(receiveExactly(client.fd(), 4), "ping");
    client.reset();
    EXPECT_EQ(echo.ending(1), "reset");
    EXPECT_TRUE(waitForLiveConnections(0));
}

TEST_F(KyFwTunnelRelay, RefusingTargetResetsTheClientInsteadOfEndingIt) {
    int refusingPort = 0;
    Socket refusing = bindWithoutListening(refusingPort);
    int port = openTunnel("*refusing*0*0", refusingPort);
    Socket client = connectTo(port);
    ASSERT_GE(client.fd(), 0);
    StreamEnd end = readEnd(client.fd());
    EXPECT_EQ(end.result, -1);
    EXPECT_EQ(end.error, ECONNRESET) << strerror(end.error);
    EXPECT_TRUE(waitForLiveConnections(0));
}

TEST_F(KyFwTunnelRelay, ClosedTunnelRefusesConnectionsAndCutsRelayedOnes) {
    EchoServer echo;
    int port = openTunnel("*closing*0*0", echo.port());
    int other = openTunnel("*closing-too*0*0", echo.port());
    EXPECT_NE(port, other);
    EXPECT_EQ(kyfw::liveTunnelCount(), 2u);
    Socket client = connectTo(port);
    ASSERT_GE(client.fd(), 0);
    ASSERT_TRUE(sendAll(client.fd(), "ping", 4));
    ASSERT_EQ(receiveExactly(client.fd(), 4), "ping");

    EXPECT_TRUE(kyfw::closeTunnel(port));
    EXPECT_FALSE(kyfw::closeTunnel(port));
    EXPECT_EQ(kyfw::liveTunnelCount(), 1u);
    EXPECT_EQ(kyfw::liveConnectionCount(), 0u);
    StreamEnd end = readEnd(client.fd());
    EXPECT_EQ(end.result, -1);
    EXPECT_EQ(end.error, ECONNRESET) << strerror(end.error);
    Socket refused = connectTo(port);
    int refusal = errno;
    EXPECT_LT(refused.fd(), 0);
    EXPECT_EQ(refusal, ECONNREFUSED);

    Socket stillServed = connectTo(other);
    ASSERT_GE(stillServed.fd(), 0);
    ASSERT_TRUE(sendAll(stillServed.fd(), "pong", 4));
    EXPECT_EQ(receiveExactly(stillServed.fd(), 4), "pong");
    kyfw::closeAllTunnels();
    EXPECT_EQ(kyfw::liveTunnelCount(), 0u);
    EXPECT_LT(connectTo(other).fd(), 0);
}

TEST_F(KyFwTunnelRelay, CountsAcceptedAndLiveConnections) {
    EchoServer echo;
    int port = openTunnel("*counted*0*0", echo.port());
    size_t before = kyfw::relayedConnectionCount();
    std::vector<Socket> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(connectTo(port));
        ASSERT_TRUE(sendAll(clients.back().fd(), "abc", 3));
        ASSERT_EQ(receiveExactly(clients.back().fd(), 3), "abc");
    }
    EXPECT_EQ(kyfw::relayedConnectionCount(), before + 3);
    EXPECT_EQ(kyfw::liveConnectionCount(), 3u);
    for (size_t i = 0; i < clients.size(); ++i) {
        shutdown(clients[i].fd(), SHUT_WR);
        EXPECT_EQ(readEnd(clients[i].fd()).result, 0);
        clients[i].close();
    }
    EXPECT_TRUE(waitForLiveConnections(0));
    EXPECT_EQ(kyfw::relayedConnectionCount(), before + 3);
}

TEST_F(KyFwTunnelRelay, ManyThreadsOpenUseAndCloseTunnelsAtOnce) {
    EchoServer echo;
    kyfw::setRoute("busy", kyfw::Route::Tunnel);
    constexpr int kThreads = 4;
    constexpr int kRounds = 15;
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            // A host of each thread's own: a thread closes its tunnel while the others use theirs.
            std::string name = MangleHostName("", ("busy" + std::to_string(t)).c_str(), t, 0);
            for (int round = 0; round < kRounds; ++round) {
                KyFwError err;
                if (!KyFwClient::isFirewalled("busy", "", &err)) ++failures;
                int port = KyFwClient::setupTPPM(name.c_str(), echo.port(), nullptr, &err);
                Socket client = connectTo(port);
                if (client.fd() < 0 || !sendAll(client.fd(), "ping", 4) ||
                    receiveExactly(client.fd(), 4) != "ping")
                    ++failures;
                if (!kyfw::closeTunnel(port)) ++failures;
            }
        });
    }
    std::thread observer([&] {
        while (!done) {
            kyfw::liveTunnelCount();
            kyfw::liveConnectionCount();
            kyfw::closeTunnel(1);  // never a tunnel port: privileged
            kyfw::setRoute("bystander", kyfw::Route::Direct);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (auto& worker : workers) worker.join();
    done = true;
    observer.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(kyfw::liveTunnelCount(), 0u);
    EXPECT_TRUE(waitForLiveConnections(0));
}

}  // namespace
