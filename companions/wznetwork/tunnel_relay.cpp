#include "tunnel_relay.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "no_throw.h"

namespace kyfw {
namespace {

// Ends the thread when the library is unloaded or the process ends, after the statics of everything
// loaded later have been destroyed.
struct RelayStopper {
    ~RelayStopper() { TunnelRelay::instance().stop(); }
} g_relayStopper;

const ForkSafeInstance<TunnelRelay> g_relay;

}  // namespace

TunnelRelay& TunnelRelay::instance() { return ForkSafeInstance<TunnelRelay>::get(); }

TunnelRelay::TunnelRelay() {
    m_loop.addTimer(m_checkTimer);
    m_loop.addTimer(m_giveBackTimer);
}

int TunnelRelay::openTunnel(const std::string& host, const std::string& target, int port,
                            std::string& problem) {
    SocketAddress address;
    if (!makeSocketAddress(target, port, address)) {
        problem = "bad target address \"" + target + "\"";
        return 0;
    }
    if (int known = m_table.handOut(host, target, port)) return known;
    if (!start(problem)) return 0;
    TunnelTable::Opening opening = m_table.open(*this, host, target, port, address, true, problem);
    // Out of descriptors: an idle tunnel was given back for one, which is free once its listener closes.
    if (opening.retired != 0) {
        waitRetired(opening.retired);
        opening = m_table.open(*this, host, target, port, address, false, problem);
    }
    // The relay thread takes up the new tunnel: a client that connects meanwhile waits in its queue.
    if (opening.localPort != 0) wakeRelay();
    return opening.localPort;
}

KyFwTunnelStateCode TunnelRelay::tunnelState(int localPort, const std::string& host,
                                             const std::string& target, int port) {
    return m_table.state(localPort, host, target, port);
}

bool TunnelRelay::closeTunnel(int localPort) {
    uint64_t retired = m_table.close(localPort);
    if (retired == 0) return false;
    waitRetired(retired);
    return true;
}

void TunnelRelay::closeAll() { waitRetired(m_table.closeAll()); }

size_t TunnelRelay::tunnelCount() { return m_table.count(); }

std::vector<TunnelInfo> TunnelRelay::tunnels() { return m_table.list(); }

size_t TunnelRelay::liveConnectionCount() { return m_live.load(); }

size_t TunnelRelay::acceptedConnectionCount() { return m_accepted.load(); }

size_t TunnelRelay::bufferBytes() { return m_pool.bytesHeld() + m_pipes.bytesHeld(); }

RelayLimits TunnelRelay::limits() { return m_table.limits(); }

// The relay thread follows at once: the next check follows the new time-outs.
void TunnelRelay::setLimits(const RelayLimits& limits) {
    m_table.setLimits(limits);
    wakeRelay();
}

void TunnelRelay::resetLimits() {
    m_table.resetLimits();
    wakeRelay();
}

void TunnelRelay::stop() {
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_stopped) return;
    m_stopped = true;
    m_table.closeForGood();
    if (!m_running) return;
    m_stopping = true;
    m_loop.wake();
    pthread_join(m_thread, nullptr);
    m_running = false;
    m_loop.close();
    m_reserve.reset();
}

bool TunnelRelay::start(std::string& problem) {
    if (m_running) return true;
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_running) return true;
    if (m_stopped) {
        problem = "tunnel relay is shut down";
        return false;
    }
    if (!m_loop.open()) {
        problem = std::string("cannot start the tunnel relay: ") + strerror(errno);
        return false;
    }
    m_reserve.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    m_table.setSettler(true);
    int error = pthread_create(&m_thread, nullptr, &TunnelRelay::threadMain, this);
    if (error != 0) {
        m_table.setSettler(false);
        m_loop.close();
        problem = std::string("cannot start the tunnel relay: ") + strerror(error);
        return false;
    }
    m_running = true;
    return true;
}

void* TunnelRelay::threadMain(void* relay) {
    static_cast<TunnelRelay*>(relay)->run();
    return nullptr;
}

void TunnelRelay::run() {
    blockSigpipe();
    pthread_setname_np(pthread_self(), "kyfw-relay");
    {
        std::lock_guard<std::mutex> turn(m_turnMutex);
        followLimits();
    }
    while (!m_stopping) {
        m_loop.wait();
        std::lock_guard<std::mutex> turn(m_turnMutex);
        // What a turn could not do for want of memory is left for the next: the thread lives on.
        UnlessOutOfMemory(false, [&] {
            m_loop.serve(*this);
            return true;
        });
    }
    // The tunnels retired by stop().
    std::lock_guard<std::mutex> turn(m_turnMutex);
    takeChanges();
    m_table.setSettler(false);
}

// The wake-up is closed only once the thread has been joined, under the same lock.
void TunnelRelay::wakeRelay() {
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_running) m_loop.wake();
}

void TunnelRelay::waitRetired(uint64_t retired) {
    if (retired == 0) return;
    wakeRelay();
    m_table.waitSettled(retired);
}

void TunnelRelay::lockForFork() {
    m_lifeMutex.lock();
    m_turnMutex.lock();
    m_table.lockForFork();
}

void TunnelRelay::unlockAfterFork() {
    m_table.unlockAfterFork();
    m_turnMutex.unlock();
    m_lifeMutex.unlock();
}

// Only the forking thread lives on in the child: the relay's thread is gone, and every descriptor of the
// relay here is a copy whose closing must not touch the parent's connections: closed plainly, without a
// reset and without a change to the epoll set, which the child shares with the parent until it closes
// its copy. A tunnel the child asks for later starts a relay of its own.
void TunnelRelay::afterForkInChild() {
    m_served.clear();
    m_yielded.clear();
    m_deferred.clear();
    m_waiting.clear();
    m_table.forgetAfterFork();
    m_pipes.trim(0);
    m_loop.forgetAfterFork();
    m_loop.disarm(m_checkTimer);
    m_loop.disarm(m_giveBackTimer);
    m_reserve.reset();
    m_thread = pthread_t{};
    m_running = false;
    m_live = 0;
    m_short = false;
    m_turnMutex.unlock();
    m_lifeMutex.unlock();
}

}  // namespace kyfw
