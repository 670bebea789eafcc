#include "support/test_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <mutex>
#include <thread>

#include "support/connection.h"
#include "support/reply_plan.h"
#include "support/request_reader.h"
#include "support/socket_kit.h"
#include "support/tls_identity.h"

namespace kytest {

namespace {

constexpr int kPollSliceMs = 50;
constexpr size_t kMaxConnections = 128;

bool containsNoCase(const std::string& text, const std::string& token) {
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    return lower(text).find(lower(token)) != std::string::npos;
}

bool wantsClose(const ReceivedRequest& request) {
    std::string connection = request.header("Connection");
    if (containsNoCase(connection, "close")) return true;
    std::string requestLine = request.raw.substr(0, request.raw.find("\r\n"));
    bool http10 = requestLine.size() >= 8 && requestLine.compare(requestLine.size() - 8, 8, "HTTP/1.0") == 0;
    return http10 && !containsNoCase(connection, "keep-alive");
}

std::string writeTempFile(const std::string& content) {
    char path[] = "/tmp/kytest-ca-XXXXXX.pem";
    int fd = mkstemps(path, 4);
    if (fd < 0) return std::string();
    bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(fd);
    if (written) return path;
    std::remove(path);
    return std::string();
}

}  // namespace

struct TestServer::Impl {
    struct Slot {
        std::thread thread;
        int fd = -1;
        bool done = false;
    };

    Scheme scheme = Scheme::Http;
    std::string certificateName;
    std::unique_ptr<TlsIdentity> tls;
    std::string caFile;
    Socket listener;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptThread;

    // Guards everything below; changed is signalled on every recorded request, finished connection and stop.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<ReceivedRequest> requests;
    size_t accepted = 0;
    std::list<Slot> slots;

    void start();
    void stop();
    void acceptLoop();
    bool waitForCapacity();
    void acceptOne();
    void reapFinished();
    void serve(Slot& slot, size_t number);
    bool converse(Connection& connection, size_t number);
    bool answer(Connection& connection, const ReceivedRequest& request, const ReplyPlan& plan);
    void drainUntilStop(Connection& connection);
    bool waitUnlessStopped(int milliseconds);
    void record(const ReceivedRequest& request);
    void finish(Slot& slot, bool reset);
};

void TestServer::Impl::start() {
    // A client that goes away mid-reply must not kill the test process (TLS writes use plain write()).
    std::signal(SIGPIPE, SIG_IGN);
    if (scheme == Scheme::Https) {
        tls = std::make_unique<TlsIdentity>(certificateName);
        if (!tls->context()) ADD_FAILURE() << "TestServer: could not make the TLS certificates";
        caFile = writeTempFile(tls->caPem());
        if (caFile.empty()) ADD_FAILURE() << "TestServer: could not write the CA file";
    }
    listener = BindLoopback(port, 128, SOCK_NONBLOCK);
    if (!listener.valid()) {
        ADD_FAILURE() << "TestServer: could not listen on 127.0.0.1";
        return;
    }
    acceptThread = std::thread([this] { acceptLoop(); });
}

void TestServer::Impl::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        // Wakes every connection blocked in poll at once, however stalled its client is.
        for (Slot& slot : slots) {
            if (slot.fd >= 0) ::shutdown(slot.fd, SHUT_RDWR);
        }
    }
    changed.notify_all();
    // Wakes the accept loop's poll at once.
    if (listener.valid()) ::shutdown(listener.fd(), SHUT_RDWR);
    if (acceptThread.joinable()) acceptThread.join();
    for (Slot& slot : slots) {
        if (slot.thread.joinable()) slot.thread.join();
    }
    slots.clear();
    listener.close();
}

void TestServer::Impl::acceptLoop() {
    while (!stopping.load()) {
        reapFinished();
        if (!waitForCapacity()) continue;
        pollfd entry{listener.fd(), POLLIN, 0};
        if (::poll(&entry, 1, kPollSliceMs) > 0) acceptOne();
    }
}

bool TestServer::Impl::waitForCapacity() {
    std::unique_lock<std::mutex> lock(mutex);
    if (slots.size() < kMaxConnections) return true;
    changed.wait_for(lock, std::chrono::milliseconds(kPollSliceMs));
    return false;
}

void TestServer::Impl::acceptOne() {
    int fd = ::accept4(listener.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping.load()) {
        ::close(fd);
        return;
    }
    Slot& slot = slots.emplace_back();
    slot.fd = fd;
    size_t number = ++accepted;
    slot.thread = std::thread([this, &slot, number] { serve(slot, number); });
}

void TestServer::Impl::reapFinished() {
    std::list<Slot> finished;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = slots.begin(); it != slots.end();) {
            auto next = std::next(it);
            if (it->done) finished.splice(finished.end(), slots, it);
            it = next;
        }
    }
    for (Slot& slot : finished) slot.thread.join();
}

void TestServer::Impl::serve(Slot& slot, size_t number) {
    bool reset = false;
    {
        Connection connection(slot.fd, tls ? tls->context() : nullptr, stopping);
        if (connection.handshake()) reset = converse(connection, number);
    }
    finish(slot, reset);
}

// Answers requests on one connection until it closes; true when the connection is to be reset.
bool TestServer::Impl::converse(Connection& connection, size_t number) {
    RequestReader reader(connection);
    ReceivedRequest request;
    for (;;) {
        RequestReader::Result result = reader.read(request);
        if (result == RequestReader::Result::Closed) return false;
        if (result == RequestReader::Result::Malformed) {
            connection.writeAll(
                "HTTP/1.1 400 Bad Request\r\nContent-Length: 11\r\nConnection: close\r\n\r\nbad request");
            return false;
        }
        request.connection = number;
        request.serverName = connection.serverName();
        record(request);
        ReplyPlan plan = PlanReply(request);
        if (plan.delayMs > 0 && !waitUnlessStopped(plan.delayMs)) return false;
        switch (plan.action) {
            case ReplyPlan::Action::Reset:
                return true;
            case ReplyPlan::Action::Stall:
                drainUntilStop(connection);
                return false;
            case ReplyPlan::Action::Drop:
                connection.writeAll(ReplyHead(plan, true) + plan.body);
                connection.closeGracefully();
                return false;
            case ReplyPlan::Action::Answer:
                if (!answer(connection, request, plan)) return false;
                break;
        }
    }
}

// Sends the reply; false when the connection is to be closed after it.
bool TestServer::Impl::answer(Connection& connection, const ReceivedRequest& request, const ReplyPlan& plan) {
    bool closing = wantsClose(request);
    std::string reply = ReplyHead(plan, closing);
    if (request.method != "HEAD") reply += plan.body;
    if (!connection.writeAll(reply)) return false;
    if (!closing) return true;
    connection.closeGracefully();
    return false;
}

// Reads and discards whatever the client still sends, until it closes or the server stops.
void TestServer::Impl::drainUntilStop(Connection& connection) {
    std::string ignored;
    while (connection.readSome(ignored)) ignored.clear();
}

bool TestServer::Impl::waitUnlessStopped(int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return !changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                             [this] { return stopping.load(); });
}

void TestServer::Impl::record(const ReceivedRequest& request) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(request);
    }
    changed.notify_all();
}

void TestServer::Impl::finish(Slot& slot, bool reset) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (reset) {
            // A zero linger time makes close() send RST instead of FIN.
            linger hard{1, 0};
            ::setsockopt(slot.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        ::close(slot.fd);
        slot.fd = -1;
        slot.done = true;
    }
    changed.notify_all();
}

TestServer::TestServer(Scheme scheme, const std::string& certificateName) : m_impl(std::make_unique<Impl>()) {
    m_impl->scheme = scheme;
    m_impl->certificateName = certificateName;
    m_impl->start();
}

TestServer::~TestServer() {
    m_impl->stop();
    if (!m_impl->caFile.empty()) std::remove(m_impl->caFile.c_str());
}

int TestServer::port() const { return m_impl->port; }

std::string TestServer::url(const std::string& path) const {
    std::string scheme = m_impl->scheme == Scheme::Https ? "https" : "http";
    std::string slash = path.empty() || path[0] != '/' ? "/" : "";
    return scheme + "://127.0.0.1:" + std::to_string(m_impl->port) + slash + path;
}

const std::string& TestServer::caFile() const { return m_impl->caFile; }

std::vector<ReceivedRequest> TestServer::requests() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->requests;
}

ReceivedRequest TestServer::lastRequest() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->requests.empty() ? ReceivedRequest() : m_impl->requests.back();
}

size_t TestServer::requestCount() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->requests.size();
}

void TestServer::clearRequests() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->requests.clear();
}

bool TestServer::waitForRequests(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_impl->mutex);
    return m_impl->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [this, count] { return m_impl->requests.size() >= count; });
}

size_t TestServer::connectionCount() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->accepted;
}

}  // namespace kytest
