#include "support/scripted_server.h"

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <list>
#include <mutex>
#include <thread>

#include "support/connection.h"
#include "support/eventually.h"
#include "support/socket_kit.h"

namespace kytest {

namespace {

constexpr int kPollSliceMs = 50;

// True once the peer has acknowledged every byte written, so that a reset cannot overtake them; false
// when that does not come within the wait's bound, the queue cannot be read, or the server stops.
bool WaitUntilTaken(int fd, const std::atomic<bool>& stopping) {
    bool taken = false;
    Eventually([&] {
        int unsent = 0;
        const bool known = ioctl(fd, SIOCOUTQ, &unsent) == 0;
        taken = known && unsent == 0;
        return taken || !known || stopping.load();
    });
    return taken;
}

}  // namespace

struct ScriptedServer::Impl {
    std::vector<ScriptedAnswer> answers;
    Socket listener;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptThread;
    mutable std::mutex mutex;  // guards the two below
    std::list<std::thread> connections;
    std::list<int> openFds;
    size_t accepted = 0;
    std::atomic<size_t> delivered{0};

    void acceptLoop();
    void serve(int fd, const ScriptedAnswer& answer);
};

void ScriptedServer::Impl::acceptLoop() {
    while (!stopping.load()) {
        pollfd entry{listener.fd(), POLLIN, 0};
        if (::poll(&entry, 1, kPollSliceMs) <= 0) continue;
        const int fd = ::accept4(listener.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex);
        const ScriptedAnswer& answer = answers[std::min(accepted, answers.size() - 1)];
        ++accepted;
        openFds.push_back(fd);
        connections.emplace_back([this, fd, &answer] { serve(fd, answer); });
    }
}

// Reads the request head, answers, and keeps reading until the client goes, so that the answer is never
// cut short by unread request bytes.
void ScriptedServer::Impl::serve(int fd, const ScriptedAnswer& answer) {
    {
        Connection connection(fd, nullptr, stopping);
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos && connection.readSome(request)) {
        }
        if (answer.onRequest) answer.onRequest();
        const size_t headEnd = request.find("\r\n\r\n");
        const size_t awaited = headEnd + 4 + answer.awaitBody;
        const bool sent = connection.writeAll(answer.bytes) && headEnd != std::string::npos;
        while (answer.awaitBody != 0 && request.size() < awaited && connection.readSome(request)) {
        }
        if (answer.kind == ScriptedAnswer::Kind::Reset) {
            if (WaitUntilTaken(fd, stopping) && sent) ++delivered;
            linger reset{1, 0};  // a zero linger time makes close() send RST
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        } else {
            if (sent) ++delivered;
            ::shutdown(fd, SHUT_WR);
            std::string ignored;
            while (connection.readSome(ignored)) ignored.clear();
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    openFds.remove(fd);
    ::close(fd);
}

ScriptedServer::ScriptedServer(std::vector<ScriptedAnswer> answers) : m_impl(std::make_unique<Impl>()) {
    // A client that goes away mid-answer must not kill the test process.
    std::signal(SIGPIPE, SIG_IGN);
    m_impl->answers = std::move(answers);
    if (m_impl->answers.empty()) m_impl->answers.push_back(ScriptedAnswer::Close());
    m_impl->listener = BindLoopback(m_impl->port, 128, SOCK_NONBLOCK);
    if (!m_impl->listener.valid()) {
        ADD_FAILURE() << "ScriptedServer: could not listen on 127.0.0.1";
        return;
    }
    m_impl->acceptThread = std::thread([this] { m_impl->acceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    m_impl->stopping = true;
    {
        // Wakes every connection waiting on its client at once.
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        for (int fd : m_impl->openFds) ::shutdown(fd, SHUT_RDWR);
    }
    if (m_impl->acceptThread.joinable()) m_impl->acceptThread.join();
    for (std::thread& connection : m_impl->connections) connection.join();
}

int ScriptedServer::port() const { return m_impl->port; }

std::string ScriptedServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_impl->port) + path;
}

size_t ScriptedServer::connectionCount() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->accepted;
}

size_t ScriptedServer::deliveredCount() const { return m_impl->delivered; }

std::string ReplyWithHeaders(const std::string& headerLines, const std::string& body) {
    return "HTTP/1.1 200 OK\r\n" + headerLines + "Content-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string ChunkedReplyWithTrailers(const std::string& body, const std::string& trailerLines) {
    char size[32];
    snprintf(size, sizeof size, "%zx", body.size());
    return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n" + std::string(size) +
           "\r\n" + body + "\r\n0\r\n" + trailerLines + "\r\n";
}

}  // namespace kytest
