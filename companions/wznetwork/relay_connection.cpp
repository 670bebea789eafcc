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
    if (!m_connected) {
        // The client's bytes wait in its socket until the target answers.
        if (!targetSide || !(events & (EPOLLOUT | EPOLLHUP))) return Outcome::Open;
        if (events & EPOLLHUP) return cut();
        m_connected = true;
    }
    return relay();
}

RelayConnection::Outcome RelayConnection::relay() {
    RelayFlow::State up = m_toTarget.pump(m_client.get(), m_target.get());
    if (isReset(up)) return cut();
    RelayFlow::State down = m_toClient.pump(m_target.get(), m_client.get());
    if (isReset(down)) return cut();
    if (up != RelayFlow::State::Finished || down != RelayFlow::State::Finished) return Outcome::Open;
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
