#include "stream_driver.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "clocks.h"
#include "loopback_socket.h"

namespace kybench {
namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr int64_t kGiveUpNs = int64_t{120} * 1000000000;

struct Stream {
    int fd = -1;
    size_t sent = 0;
    size_t received = 0;
};

bool Finished(const Stream& stream, size_t bytes) { return bytes != 0 && stream.received >= bytes; }

}  // namespace

int64_t RunStreams(int port, size_t count, size_t bytes, const std::atomic<bool>* stop) {
    std::vector<Stream> streams(count);
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    bool ok = epoll >= 0;
    for (size_t i = 0; ok && i < count; ++i) {
        streams[i].fd = ConnectLoopback(port);
        ok = streams[i].fd >= 0;
        if (!ok) break;
        fcntl(streams[i].fd, F_SETFL, O_NONBLOCK);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.u64 = i;
        epoll_ctl(epoll, EPOLL_CTL_ADD, streams[i].fd, &event);
    }
    std::vector<char> out(kChunk, 'r');
    std::vector<char> in(kChunk);
    size_t finished = 0;
    const int64_t start = WallNs();
    epoll_event events[256];
    while (ok && finished < count && !(stop && stop->load())) {
        int ready = epoll_wait(epoll, events, 256, 100);
        if (WallNs() - start > kGiveUpNs) ok = false;
        for (int e = 0; ok && e < ready; ++e) {
            Stream& stream = streams[events[e].data.u64];
            if (events[e].events & EPOLLOUT && (bytes == 0 || stream.sent < bytes)) {
                size_t want = bytes == 0 ? kChunk : std::min(kChunk, bytes - stream.sent);
                ssize_t n = send(stream.fd, out.data(), want, MSG_NOSIGNAL);
                if (n > 0) stream.sent += static_cast<size_t>(n);
                if (n < 0 && errno != EAGAIN) ok = false;
                if (bytes != 0 && stream.sent >= bytes) {
                    epoll_event event{};
                    event.events = EPOLLIN;
                    event.data.u64 = events[e].data.u64;
                    epoll_ctl(epoll, EPOLL_CTL_MOD, stream.fd, &event);
                }
            }
            if (events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                ssize_t n = recv(stream.fd, in.data(), in.size(), 0);
                if (n > 0) {
                    stream.received += static_cast<size_t>(n);
                    if (Finished(stream, bytes)) ++finished;
                } else if (n == 0 || errno != EAGAIN) {
                    ok = false;
                }
            }
        }
    }
    const int64_t elapsed = WallNs() - start;
    for (Stream& stream : streams) {
        if (stream.fd >= 0) close(stream.fd);
    }
    if (epoll >= 0) close(epoll);
    return ok ? elapsed : -1;
}

double StreamRate(double bytes, int64_t elapsed, bool& ok) {
    ok = ok && elapsed > 0;
    return bytes * 1e9 / static_cast<double>(std::max<int64_t>(elapsed, 1));
}

std::vector<int64_t> RunPings(int port, size_t count) {
    std::vector<int64_t> times;
    int fd = ConnectLoopback(port);
    if (fd < 0) return times;
    // A reply that never comes ends the pings instead of the run.
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    times.reserve(count);
    char byte = 'p';
    for (size_t i = 0; i < count; ++i) {
        const int64_t start = WallNs();
        if (send(fd, &byte, 1, MSG_NOSIGNAL) != 1 || recv(fd, &byte, 1, MSG_WAITALL) != 1) {
            times.clear();
            break;
        }
        times.push_back(WallNs() - start);
    }
    close(fd);
    return times;
}

}  // namespace kybench
