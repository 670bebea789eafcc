#include "relay_flow.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "KyFwControl.h"
#include "socket_ops.h"

namespace kyfw {
namespace {

// A pump that reads at least this much marks a flow as bulk: a request or a ping comes in smaller pieces.
constexpr size_t kBulkRead = 32 * 1024;

}  // namespace

RelayFlow::~RelayFlow() {
    m_pool.giveBack(m_buffer);
    if (m_pipes) m_pipes->giveBack(m_pipe, m_piped == 0);
}

RelayFlow::State RelayFlow::pump(int source, int sink, size_t budget) {
    m_yielded = false;
    m_lastRead = 0;
    State state = spliceNow() ? splice(source, sink, budget) : move(source, sink, budget);
    if (m_lastRead > 0) m_bulk = m_lastRead >= kBulkRead;
    if (!buffered()) {
        m_pool.giveBack(m_buffer);
        m_buffer = nullptr;
        m_head = m_tail = 0;
        if (m_pipes) m_pipes->giveBack(m_pipe, true);
    }
    return state;
}

// Bytes already in the pipe or the buffer go out the way they came in; a bulk flow with neither takes a
// pipe when one can be had.
bool RelayFlow::spliceNow() {
    if (m_piped > 0) return true;
    if (m_head < m_tail || !m_bulk || !m_pipes) return false;
    if (!m_pipe) m_pipe = m_pipes->take();
    return static_cast<bool>(m_pipe);
}

RelayFlow::State RelayFlow::passEnd(int sink) {
    if (buffered()) return State::Waiting;
    if (!m_sinkClosed) shutdown(sink, SHUT_WR);
    m_sinkClosed = true;
    return State::Finished;
}

// Like move(), but a short splice says nothing: a socket's bytes may fill a pipe's slots before its
// bytes, so the source counts as drained only when it has nothing at all for an empty pipe.
RelayFlow::State RelayFlow::splice(int source, int sink, size_t budget) {
    for (;;) {
        Io sent = flushPipe(sink);
        if (sent == Io::Failed) return State::SinkReset;
        if (m_sourceEnded) return passEnd(sink);
        if (m_lastRead >= budget) {
            m_yielded = true;
            return State::Waiting;
        }
        m_sourceUnread = sent == Io::Blocked;
        if (m_sourceUnread) return State::Waiting;
        Io read = fillPipe(source);
        if (read == Io::Failed) return State::SourceReset;
        if (read == Io::Blocked) return State::Waiting;
    }
}

// A stream socket that gives fewer bytes than asked has no more for now, and one that takes fewer than
// offered has no more room: either way the next readiness edge is certain, so the read or write that
// would only fail with EAGAIN is saved. That halves the system calls of a small exchange.
RelayFlow::State RelayFlow::move(int source, int sink, size_t budget) {
    bool sinkFull = false;
    size_t received = 0;
    for (;;) {
        if (!sinkFull) {
            Io sent = flush(sink);
            if (sent == Io::Failed) return State::SinkReset;
            sinkFull = sent == Io::Blocked;
        }
        if (m_sourceEnded) return passEnd(sink);
        if (m_sourceDrained) {
            m_sourceDrained = false;
            return State::Waiting;
        }
        if (received >= budget) {
            m_yielded = true;
            return State::Waiting;
        }
        if (!m_buffer && !(m_buffer = m_pool.take())) {
            Io peeked = peekWithoutBuffer(source);
            if (peeked == Io::Failed) return State::NoMemory;
            if (peeked == Io::Blocked) return State::Waiting;
            continue;
        }
        m_sourceUnread = !makeRoom();
        if (m_sourceUnread) return State::Waiting;
        size_t before = m_tail;
        Io read = fill(source);
        received += m_tail - before;
        m_lastRead = received;
        if (read == Io::Failed) return State::SourceReset;
        if (read == Io::Blocked) return State::Waiting;
    }
}

RelayFlow::Io RelayFlow::flush(int sink) {
    while (buffered()) {
        size_t offered = m_tail - m_head;
        ssize_t n = send(sink, m_buffer + m_head, offered, MSG_NOSIGNAL);
        if (n > 0) {
            m_head += static_cast<size_t>(n);
            if (static_cast<size_t>(n) < offered) return Io::Blocked;
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
        size_t room = kRelayBufferSize - m_tail;
        ssize_t n = recv(source, m_buffer + m_tail, room, 0);
        if (n > 0) {
            m_tail += static_cast<size_t>(n);
            // After a hang-up the end may already wait behind these bytes, with no edge left to announce
            // it: then only a read that finds nothing counts.
            m_sourceDrained = static_cast<size_t>(n) < room && !m_sourceHangup;
            return Io::Progress;
        }
        Io outcome;
        if (noBytesRead(n, outcome)) return outcome;
    }
}

bool RelayFlow::noBytesRead(ssize_t n, Io& outcome) {
    if (n == 0) {
        m_sourceEnded = true;
        outcome = Io::Progress;
        return true;
    }
    if (errno == EINTR) return false;
    outcome = wouldBlock(errno) ? Io::Blocked : Io::Failed;
    return true;
}

RelayFlow::Io RelayFlow::flushPipe(int sink) {
    while (m_piped > 0) {
        ssize_t n = ::splice(m_pipe.read, nullptr, sink, nullptr, m_piped, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n > 0) {
            m_piped -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EPIPE) takePendingSigpipe();
        return n < 0 && wouldBlock(errno) ? Io::Blocked : Io::Failed;
    }
    return Io::Progress;
}

RelayFlow::Io RelayFlow::fillPipe(int source) {
    for (;;) {
        ssize_t n = ::splice(source, nullptr, m_pipe.write, nullptr, m_pipe.capacity - m_piped,
                             SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n > 0) {
            m_piped += static_cast<size_t>(n);
            m_lastRead += static_cast<size_t>(n);
            return Io::Progress;
        }
        Io outcome;
        if (noBytesRead(n, outcome)) return outcome;
    }
}

// Without a buffer a flow can still tell that its source has nothing yet, or has ended: only bytes that
// find no room fail it.
RelayFlow::Io RelayFlow::peekWithoutBuffer(int source) {
    char byte;
    ssize_t n = recv(source, &byte, 1, MSG_PEEK);
    if (n == 0) {
        m_sourceEnded = true;
        return Io::Progress;
    }
    return n < 0 && wouldBlock(errno) ? Io::Blocked : Io::Failed;
}

bool RelayFlow::makeRoom() {
    if (m_tail < kRelayBufferSize) return true;
    if (m_head == 0) return false;
    memmove(m_buffer, m_buffer + m_head, m_tail - m_head);
    m_tail -= m_head;
    m_head = 0;
    return true;
}

}  // namespace kyfw
