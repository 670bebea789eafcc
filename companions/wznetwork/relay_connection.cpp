#include "relay_connection.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

#include "KyFwControl.h"

namespace kyfw {
namespace {

// Bytes a flow may read in one turn of the relay before the other flows have theirs: one buffer.
constexpr size_t kTurnBudget = kRelayBufferSize;

bool isFailure(RelayFlow::State state) {
    return state == RelayFlow::State::SourceReset || state == RelayFlow::State::SinkReset ||
           state == RelayFlow::State::NoMemory;
}

}  // namespace

RelayConnection::RelayConnection(Tunnel& tunnel, BufferPool& pool, PipePool* pipes,
                                 RelayClock::time_point now)
    : m_tunnel(tunnel), m_createdAt(now), m_activeAt(now), m_toTarget(pool, pipes), m_toClient(pool, pipes) {}

RelayConnection::Connect RelayConnection::connectTarget(const SocketAddress& target) {
    UniqueFd socketFd(socket(target.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socketFd) return isDescriptorShortage(errno) ? Connect::NoDescriptor : Connect::Failed;
    setNoDelay(m_client.get());
    setNoDelay(socketFd.get());
    m_connected =
        connect(socketFd.get(), reinterpret_cast<const sockaddr*>(&target.storage), target.length) == 0;
    if (!m_connected && errno != EINPROGRESS) return Connect::Failed;
    m_target = std::move(socketFd);
    return m_connected ? Connect::Connected : Connect::Started;
}

RelayConnection::Outcome RelayConnection::handle(bool targetSide, uint32_t events) {
    int fd = targetSide ? m_target.get() : m_client.get();
    if ((events & EPOLLERR) && takeSocketError(fd) != 0) return Outcome::Failed;
    // Noted whenever it is seen, also before the target answers: the edge that announced it is spent.
    RelayFlow& fed = targetSide ? m_toClient : m_toTarget;
    if (events & (EPOLLRDHUP | EPOLLHUP)) fed.noteSourceHangup();
    if (!m_connected) {
        // The client's bytes wait in its socket until the target answers.
        if (!targetSide || !(events & (EPOLLOUT | EPOLLHUP))) return Outcome::Open;
        if (events & EPOLLHUP) return Outcome::Failed;
        m_connected = true;
        return relay();
    }
    if (events & (EPOLLHUP | EPOLLERR)) return relay();

    // Only the flows this socket's readiness concerns are moved: the one it feeds when it is readable,
    // the one it drains when it is writable and that flow waits for it.
    RelayFlow& drained = targetSide ? m_toTarget : m_toClient;
    bool moveFed = (events & (EPOLLIN | EPOLLRDHUP)) != 0;
    bool moveDrained = (events & EPOLLOUT) && drained.waitsForSink();
    bool upward = targetSide ? moveDrained : moveFed;
    bool downward = targetSide ? moveFed : moveDrained;
    return pumpFlows(upward, downward);
}

RelayConnection::Outcome RelayConnection::relay() { return pumpFlows(true, true); }

RelayConnection::Outcome RelayConnection::serveDeferred() {
    uint32_t client = m_clientEvents;
    uint32_t target = m_targetEvents;
    m_clientEvents = m_targetEvents = 0;
    if (client == 0 && target == 0) return resume();
    Outcome outcome = client != 0 ? handle(false, client) : Outcome::Open;
    if (outcome == Outcome::Open && target != 0) outcome = handle(true, target);
    return outcome;
}

RelayConnection::Outcome RelayConnection::resume() {
    return pumpFlows(m_toTarget.yielded(), m_toClient.yielded());
}

RelayConnection::Outcome RelayConnection::pumpFlows(bool up, bool down) {
    if (up && isFailure(pumpFlow(m_toTarget))) return Outcome::Failed;
    if (down && isFailure(pumpFlow(m_toClient))) return Outcome::Failed;
    return finishedOrOpen();
}

RelayFlow::State RelayConnection::pumpFlow(RelayFlow& flow) {
    bool up = &flow == &m_toTarget;
    RelayFlow::State state = up ? flow.pump(m_client.get(), m_target.get(), kTurnBudget)
                                : flow.pump(m_target.get(), m_client.get(), kTurnBudget);
    (up ? m_upFinished : m_downFinished) = state == RelayFlow::State::Finished;
    return state;
}

RelayConnection::Outcome RelayConnection::finishedOrOpen() const {
    return m_upFinished && m_downFinished ? Outcome::Finished : Outcome::Open;
}

void RelayConnection::close(Outcome outcome) {
    if (outcome == Outcome::Finished) {
        m_client.reset();
        m_target.reset();
        return;
    }
    m_client.abort();
    m_target.abort();
}

}  // namespace kyfw
