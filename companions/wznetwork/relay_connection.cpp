#include "relay_connection.h"

#include <sys/epoll.h>

namespace kyfw {
namespace {

bool isReset(RelayFlow::State state) {
    return state == RelayFlow::State::SourceReset || state == RelayFlow::State::SinkReset;
}

}  // namespace

RelayConnection::RelayConnection(uint64_t tunnelId, UniqueFd client, UniqueFd target, bool connected)
    : m_tunnelId(tunnelId),
      m_client(std::move(client)),
      m_target(std::move(target)),
      m_connected(connected) {}

RelayConnection::Outcome RelayConnection::onEvents(bool targetSide, uint32_t events) {
    int fd = targetSide ? m_target.get() : m_client.get();
    if ((events & EPOLLERR) && takeSocketError(fd) != 0) return cut();
    // Noted whenever it is seen, also before the target answers: the edge that announced it is spent.
    RelayFlow& fed = targetSide ? m_toClient : m_toTarget;
    if (events & (EPOLLRDHUP | EPOLLHUP)) fed.noteSourceHangup();
    if (!m_connected) {
        // The client's bytes wait in its socket until the target answers.
        if (!targetSide || !(events & (EPOLLOUT | EPOLLHUP))) return Outcome::Open;
        if (events & EPOLLHUP) return cut();
        m_connected = true;
        return relay();
    }
    if (events & (EPOLLHUP | EPOLLERR)) return relay();

    // Only the flows this socket's readiness concerns are moved: the one it feeds when it is readable,
    // the one it drains when it is writable and that flow waits for it.
    RelayFlow& drained = targetSide ? m_toTarget : m_toClient;
    if (events & (EPOLLIN | EPOLLRDHUP)) {
        if (isReset(pumpFlow(fed))) return cut();
    }
    if ((events & EPOLLOUT) && drained.waitsForSink()) {
        if (isReset(pumpFlow(drained))) return cut();
    }
    return finishIfDone();
}

RelayConnection::Outcome RelayConnection::relay() {
    if (isReset(pumpFlow(m_toTarget))) return cut();
    if (isReset(pumpFlow(m_toClient))) return cut();
    return finishIfDone();
}

RelayFlow::State RelayConnection::pumpFlow(RelayFlow& flow) {
    bool up = &flow == &m_toTarget;
    RelayFlow::State state =
        up ? flow.pump(m_client.get(), m_target.get()) : flow.pump(m_target.get(), m_client.get());
    (up ? m_upFinished : m_downFinished) = state == RelayFlow::State::Finished;
    return state;
}

RelayConnection::Outcome RelayConnection::finishIfDone() {
    if (!m_upFinished || !m_downFinished) return Outcome::Open;
    m_client.reset();
    m_target.reset();
    return Outcome::Done;
}

RelayConnection::Outcome RelayConnection::cut() {
    abort();
    return Outcome::Done;
}

void RelayConnection::abort() {
    m_client.abort();
    m_target.abort();
}

}  // namespace kyfw
