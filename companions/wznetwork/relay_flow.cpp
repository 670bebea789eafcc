#include "relay_flow.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace kyfw {
namespace {

// Large enough that a bulk transfer costs few system calls per megabyte.
constexpr size_t kFlowBufferSize = 128 * 1024;

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

RelayFlow::RelayFlow() : m_buffer(new char[kFlowBufferSize]) {}

RelayFlow::State RelayFlow::pump(int source, int sink) {
    for (;;) {
        Io sent = flush(sink);
        if (sent == Io::Failed) return State::SinkReset;
        if (m_sourceEnded) {
            if (buffered()) return State::Waiting;
            if (!m_sinkClosed) shutdown(sink, SHUT_WR);
            m_sinkClosed = true;
            return State::Finished;
        }
        if (!makeRoom()) return State::Waiting;
        Io received = fill(source);
        if (received == Io::Failed) return State::SourceReset;
        if (received == Io::Blocked) return State::Waiting;
    }
}

RelayFlow::Io RelayFlow::flush(int sink) {
    while (buffered()) {
        ssize_t n = send(sink, m_buffer.get() + m_head, m_tail - m_head, MSG_NOSIGNAL);
        if (n > 0) {
            m_head += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && wouldBlock(errno) ? Io::Blocked : Io::Failed;
    }
    m_head = m_tail = 0;
    return Io::Progress;
}

RelayFlow::Io RelayFlow::fill(int source) {
    for (;;) {
        ssize_t n = recv(source, m_buffer.get() + m_tail, kFlowBufferSize - m_tail, 0);
        if (n > 0) {
            m_tail += static_cast<size_t>(n);
            return Io::Progress;
        }
        if (n == 0) {
            m_sourceEnded = true;
            return Io::Progress;
        }
        if (errno == EINTR) continue;
        return wouldBlock(errno) ? Io::Blocked : Io::Failed;
    }
}

bool RelayFlow::makeRoom() {
    if (m_tail < kFlowBufferSize) return true;
    if (m_head == 0) return false;
    memmove(m_buffer.get(), m_buffer.get() + m_head, m_tail - m_head);
    m_tail -= m_head;
    m_head = 0;
    return true;
}

}  // namespace kyfw
