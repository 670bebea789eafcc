#include "echo_process.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>

#include "loopback_socket.h"

namespace kybench {
namespace {

constexpr size_t kBufferSize = 256 * 1024;

struct Pending {
    std::unique_ptr<char[]> data{new char[kBufferSize]};
    size_t head = 0;
    size_t tail = 0;
    bool waitingToSend = false;
};

void Watch(int epoll, int op, int fd, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    epoll_ctl(epoll, op, fd, &event);
}

// One read and one write a call, so that every connection has its turn in each round of epoll_wait (level-
// triggered: a connection with more to do is reported again); a connection with bytes it cannot send yet
// is not read until they have gone.
bool Serve(int epoll, int fd, Pending& pending) {
    if (pending.head == pending.tail) {
        ssize_t n = recv(fd, pending.data.get(), kBufferSize, 0);
        if (n < 0 && errno == EAGAIN) return true;
        if (n <= 0) return false;
        pending.head = 0;
        pending.tail = static_cast<size_t>(n);
    }
    ssize_t n = send(fd, pending.data.get() + pending.head, pending.tail - pending.head, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN) return false;
    if (n > 0) pending.head += static_cast<size_t>(n);
    const bool waiting = pending.head < pending.tail;
    if (waiting != pending.waitingToSend) Watch(epoll, EPOLL_CTL_MOD, fd, waiting ? EPOLLOUT : EPOLLIN);
    pending.waitingToSend = waiting;
    return true;
}

[[noreturn]] void RunServer(int listener) {
    int epoll = epoll_create1(0);
    Watch(epoll, EPOLL_CTL_ADD, listener, EPOLLIN);
    std::map<int, Pending> connections;
    epoll_event events[256];
    for (;;) {
        int count = epoll_wait(epoll, events, 256, -1);
        for (int i = 0; i < count; ++i) {
            int fd = events[i].data.fd;
            if (fd == listener) {
                for (int client; (client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
                    SetNoDelay(client);
                    connections[client];
                    Watch(epoll, EPOLL_CTL_ADD, client, EPOLLIN);
                }
                continue;
            }
            auto connection = connections.find(fd);
            if (connection != connections.end() && !Serve(epoll, fd, connection->second)) {
                close(fd);
                connections.erase(connection);
            }
        }
    }
}

}  // namespace

EchoProcess::~EchoProcess() { Stop(); }

int EchoProcess::Start() {
    int port = 0;
    int listener = ListenLoopback(4096, port, SOCK_NONBLOCK);
    if (listener < 0) return 0;
    m_pid = fork();
    if (m_pid == 0) RunServer(listener);
    close(listener);
    return m_pid > 0 ? port : 0;
}

void EchoProcess::Stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

}  // namespace kybench
