#include "event_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "no_throw.h"
#include "relay_limits.h"

namespace kyfw {
namespace {

// An event names its descriptor and the generation of the descriptor's entry; the wake-up has a token no
// descriptor can have.
constexpr uint64_t kWakeToken = ~uint64_t{0};
constexpr int kGenerationShift = 32;

uint64_t tokenOf(int fd, uint32_t generation) {
    return uint64_t{generation} << kGenerationShift | static_cast<uint32_t>(fd);
}

int descriptorOf(uint64_t token) { return static_cast<int>(static_cast<uint32_t>(token)); }

uint32_t generationOf(uint64_t token) { return static_cast<uint32_t>(token >> kGenerationShift); }

bool addToSet(int epoll, int fd, uint32_t events, uint64_t token) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

bool EventLoop::open() {
    m_epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    m_wake.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!m_epoll || !m_wake || !addToSet(m_epoll.get(), m_wake.get(), EPOLLIN, kWakeToken)) {
        const int error = errno;
        close();
        errno = error;
        return false;
    }
    m_workLeft = true;
    return true;
}

void EventLoop::close() {
    m_epoll.reset();
    m_wake.reset();
    m_slots.clear();
    m_ready = 0;
}

void EventLoop::addTimer(Timer& timer) {
    if (m_timerCount < kMostTimers) m_timers[m_timerCount++] = &timer;
}

bool EventLoop::watch(int fd, uint32_t events, Handler& handler) {
    auto slot = static_cast<size_t>(fd);
    if (slot >= m_slots.size()) {
        const bool grown = UnlessOutOfMemory(false, [&] {
            m_slots.resize(slot + 1);
            return true;
        });
        if (!grown) return false;
    }
    Slot& entry = m_slots[slot];
    if (!addToSet(m_epoll.get(), fd, events, tokenOf(fd, entry.generation + 1))) return false;
    ++entry.generation;
    entry.handler = &handler;
    return true;
}

void EventLoop::change(int fd, uint32_t events) {
    auto slot = static_cast<size_t>(fd);
    if (slot >= m_slots.size() || !m_slots[slot].handler) return;
    epoll_event event{};
    event.events = events;
    event.data.u64 = tokenOf(fd, m_slots[slot].generation);
    epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, fd, &event);
}

void EventLoop::unwatch(int fd) {
    auto slot = static_cast<size_t>(fd);
    if (fd < 0 || slot >= m_slots.size() || !m_slots[slot].handler) return;
    epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
    m_slots[slot].handler = nullptr;
    ++m_slots[slot].generation;
}

void EventLoop::armBy(Timer& timer, Clock::time_point due) { timer.m_due = std::min(timer.m_due, due); }

void EventLoop::wake() {
    uint64_t one = 1;
    // A failed write means the counter is already set, which wakes the thread as well.
    [[maybe_unused]] ssize_t written = write(m_wake.get(), &one, sizeof one);
}

void EventLoop::wait() {
    m_ready = std::max(epoll_wait(m_epoll.get(), m_events, kEventsPerWait, waitTimeout()), 0);
}

void EventLoop::serve(Owner& owner) {
    m_now = Clock::now();
    ++m_turn;
    for (int i = 0; i < m_ready; ++i) dispatch(m_events[i], owner);
    m_ready = 0;
    m_workLeft = owner.finishTurn();
    fireTimers();
}

int EventLoop::waitTimeout() const {
    if (m_workLeft) return 0;
    Clock::time_point deadline = Clock::time_point::max();
    for (size_t i = 0; i < m_timerCount; ++i) deadline = std::min(deadline, m_timers[i]->m_due);
    if (deadline == Clock::time_point::max()) return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    // A wait beyond the longest time-out ends early and is taken up again: it fits an int of milliseconds.
    return static_cast<int>(std::clamp<long>(wait.count(), 0, kLongestTimeoutMs));
}

void EventLoop::dispatch(const epoll_event& event, Owner& owner) {
    uint64_t token = event.data.u64;
    if (token == kWakeToken) {
        drainWake(owner);
        return;
    }
    auto slot = static_cast<size_t>(descriptorOf(token));
    // The descriptor was unwatched, maybe watched again for another handler, since the wait.
    if (slot >= m_slots.size() || m_slots[slot].generation != generationOf(token)) return;
    if (Handler* handler = m_slots[slot].handler) handler->onEvents(descriptorOf(token), event.events);
}

void EventLoop::drainWake(Owner& owner) {
    uint64_t count;
    while (read(m_wake.get(), &count, sizeof count) > 0) {
    }
    owner.onWake();
}

void EventLoop::fireTimers() {
    for (size_t i = 0; i < m_timerCount; ++i) {
        Timer& timer = *m_timers[i];
        if (timer.m_due > m_now) continue;
        disarm(timer);
        timer.onTimer();
    }
}

void EventLoop::forgetAfterFork() {
    m_slots.clear();
    m_ready = 0;
    m_epoll.reset();
    m_wake.reset();
}

}  // namespace kyfw
