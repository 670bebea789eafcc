#include "epoll_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "http_exchange.h"

namespace kybench {
namespace {

// Bulk bodies are cut from one repeating pattern, sent in pieces of up to its size.
constexpr size_t kPatternSize = 1 << 20;
constexpr size_t kReceiveChunk = 64 * 1024;
constexpr int kEventsPerWait = 64;

long Microseconds(const timeval& t) { return t.tv_sec * 1000000L + t.tv_usec; }

// One send of what fits: sent receives the bytes taken, blocked is set when the socket takes none now;
// false when the connection failed.
bool SendSome(int fd, const char* data, size_t size, size_t& sent, bool& blocked) {
    for (;;) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            sent = static_cast<size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        blocked = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        return blocked;
    }
}

}  // namespace

struct EpollServer::Connection {
    int fd = -1;
    std::string in;
    std::string out;
    size_t outPos = 0;
    uint64_t bulkLeft = 0;
    uint64_t bulkSent = 0;
    bool watchingOutput = false;
};

EpollServer::EpollServer() : m_pattern(new char[kPatternSize]) {
    for (size_t i = 0; i < kPatternSize; ++i) m_pattern[i] = static_cast<char>('a' + i % 26);
}

EpollServer::~EpollServer() {
    for (auto& entry : m_connections) close(entry.first);
    if (m_listener >= 0) close(m_listener);
    if (m_epoll >= 0) close(m_epoll);
}

int EpollServer::Listen() {
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_epoll < 0 || m_listener < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(m_listener, SOMAXCONN) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = m_listener;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener, &event) != 0) return 0;
    return ntohs(address.sin_port);
}

void EpollServer::Run(int watch) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = watch;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, watch, &event) != 0) return;
    epoll_event events[kEventsPerWait];
    for (;;) {
        int count = epoll_wait(m_epoll, events, kEventsPerWait, -1);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return;
        for (int i = 0; i < count; ++i) {
            int fd = events[i].data.fd;
            if (fd == watch) {
                char byte;
                if (read(watch, &byte, 1) <= 0) return;
            } else if (fd == m_listener) {
                Accept();
            } else {
                Serve(fd, events[i].events);
            }
        }
    }
}

void EpollServer::Accept() {
    for (;;) {
        int fd = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR) continue;
        if (fd < 0) return;
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
            close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        m_connections.emplace(fd, std::move(connection));
    }
}

void EpollServer::Serve(int fd, uint32_t events) {
    auto found = m_connections.find(fd);
    if (found == m_connections.end()) return;
    Connection& connection = *found->second;
    bool open = !(events & EPOLLERR);
    if (open && (events & (EPOLLIN | EPOLLHUP))) open = Receive(connection);
    if (open) open = Progress(connection);
    if (!open) Close(fd);
}

// Level-triggered: a read that leaves bytes behind is reported again, so one short read is enough.
bool EpollServer::Receive(Connection& connection) {
    char chunk[kReceiveChunk];
    for (;;) {
        ssize_t n = recv(connection.fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            connection.in.append(chunk, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof chunk) return true;
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

bool EpollServer::Progress(Connection& connection) {
    for (;;) {
        bool blocked = false;
        if (!SendPending(connection, blocked)) return false;
        if (!blocked && !SendBulk(connection, blocked)) return false;
        if (blocked) {
            WatchOutput(connection, true);
            return true;
        }
        bool answered = false;
        if (!AnswerNext(connection, answered)) return false;
        if (!answered) break;
    }
    WatchOutput(connection, false);
    return true;
}

bool EpollServer::SendPending(Connection& connection, bool& blocked) {
    while (connection.outPos < connection.out.size()) {
        size_t sent = 0;
        if (!SendSome(connection.fd, connection.out.data() + connection.outPos,
                      connection.out.size() - connection.outPos, sent, blocked))
            return false;
        if (blocked) return true;
        connection.outPos += sent;
    }
    connection.out.clear();
    connection.outPos = 0;
    return true;
}

bool EpollServer::SendBulk(Connection& connection, bool& blocked) {
    while (connection.bulkLeft > 0) {
        size_t offset = static_cast<size_t>(connection.bulkSent % kPatternSize);
        size_t piece = kPatternSize - offset;
        if (piece > connection.bulkLeft) piece = static_cast<size_t>(connection.bulkLeft);
        size_t sent = 0;
        if (!SendSome(connection.fd, m_pattern.get() + offset, piece, sent, blocked)) return false;
        if (blocked) return true;
        connection.bulkLeft -= sent;
        connection.bulkSent += sent;
    }
    return true;
}

// Replies go out in request order: the next request is answered only when the previous reply is sent.
bool EpollServer::AnswerNext(Connection& connection, bool& answered) {
    ParsedRequest request;
    ParseState state = ParseRequest(connection.in.data(), connection.in.size(), request);
    if (state == ParseState::Malformed) return false;
    if (state == ParseState::Incomplete) {
        // The client waits for this before it sends the body.
        if (request.expectsContinue && connection.out.empty()) {
            connection.out = kContinueReply;
            answered = true;
        }
        return true;
    }
    ++m_requests;
    connection.in.erase(0, request.length);
    const std::string stats = request.path == "/stats" ? Stats() : std::string();
    connection.out = ReplyFor(request, stats, connection.bulkLeft);
    connection.outPos = 0;
    connection.bulkSent = 0;
    answered = true;
    return true;
}

void EpollServer::WatchOutput(Connection& connection, bool on) {
    if (connection.watchingOutput == on) return;
    epoll_event event{};
    event.events = on ? EPOLLIN | EPOLLOUT : EPOLLIN;
    event.data.fd = connection.fd;
    epoll_ctl(m_epoll, EPOLL_CTL_MOD, connection.fd, &event);
    connection.watchingOutput = on;
}

void EpollServer::Close(int fd) {
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    m_connections.erase(fd);
}

// The server's own CPU time and request count, so a driver can show how busy the server was.
std::string EpollServer::Stats() const {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    long cpu = Microseconds(usage.ru_utime) + Microseconds(usage.ru_stime);
    return "cpu_us=" + std::to_string(cpu) + " requests=" + std::to_string(m_requests) + "\n";
}

}  // namespace kybench
