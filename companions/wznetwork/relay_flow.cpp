#include "relay_flow.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "KyFwControl.h"
#include "socket_ops.h"

namespace kyfw {

RelayFlow::State RelayFlow::pump(int source, int sink, size_t budget) {
    m_yielded = false;
    State state = move(source, sink, budget);
    if (!buffered()) {
        m_pool.giveBack(m_buffer);
        m_buffer = nullptr;
        m_head = m_tail = 0;
    }
    return state;
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
        if (m_sourceEnded) {
            if (buffered()) return State::Waiting;
            if (!m_sinkClosed) shutdown(sink, SHUT_WR);
            m_sinkClosed = true;
            return State::Finished;
        }
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
        if (n == 0) {
            m_sourceEnded = true;
            return Io::Progress;
        }
        if (errno == EINTR) continue;
        return wouldBlock(errno) ? Io::Blocked : Io::Failed;
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
