// A small event loop for one thread: descriptors with their handlers in a table indexed by descriptor,
// timers, and a wake-up any thread may ring. A turn waits once for readiness, no longer than the earliest
// timer, hands each event to its descriptor's handler, lets the owner finish the turn, and fires the
// timers that are due. The loop knows nothing of what its descriptors are.
#ifndef WZNETWORK_EVENT_LOOP_H
#define WZNETWORK_EVENT_LOOP_H

#include <sys/epoll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "socket_ops.h"

namespace kyfw {

class EventLoop {
  public:
    using Clock = std::chrono::steady_clock;

    // Told of the events of each descriptor it watches.
    class Handler {
      public:
        virtual void onEvents(int fd, uint32_t events) = 0;

      protected:
        ~Handler() = default;
    };

    // Fires once when its time has come; armed again by whoever wants it again.
    class Timer {
      public:
        virtual void onTimer() = 0;
        bool armed() const { return m_due != Clock::time_point::max(); }
        Clock::time_point due() const { return m_due; }

      protected:
        ~Timer() = default;

      private:
        friend class EventLoop;
        Clock::time_point m_due = Clock::time_point::max();
    };

    // What the loop's user does in each turn besides its handlers: after a wake-up, and once the events
    // of the turn have been handled. finishTurn returns true when work is left, so that the next wait
    // does not block.
    class Owner {
      public:
        virtual void onWake() = 0;
        virtual bool finishTurn() = 0;

      protected:
        ~Owner() = default;
    };

    // The epoll set and the wake-up; false with errno set when either cannot be had.
    bool open();
    // Closes the set and the wake-up; the handlers' descriptors are their owners' to close.
    void close();
    // Timers live as long as the loop; at most kMostTimers.
    void addTimer(Timer& timer);

    // False when the descriptor could not be added, or its entry could not be had for want of memory.
    bool watch(int fd, uint32_t events, Handler& handler);
    void change(int fd, uint32_t events);
    // Before every close: a copy of the descriptor in a forked child would otherwise keep it in the set.
    // An event of this turn that still names the descriptor is dropped.
    void unwatch(int fd);

    // Sets the timer's time, or, with armBy, brings it forward to due.
    void arm(Timer& timer, Clock::time_point due) { timer.m_due = due; }
    void armBy(Timer& timer, Clock::time_point due);
    void disarm(Timer& timer) { timer.m_due = Clock::time_point::max(); }

    // Any thread: the loop's thread returns from its wait, if it waits, and tells its owner.
    void wake();

    // Waits for the next turn's events; wait first, then serve under whatever the caller holds.
    void wait();
    void serve(Owner& owner);
    // When the turn being served began, and its number.
    Clock::time_point now() const { return m_now; }
    uint64_t turn() const { return m_turn; }

    // In a forked child, whose loop thread is gone: forgets everything without a change to the set,
    // which the child shares with its parent until it closes its copy.
    void forgetAfterFork();

    static constexpr size_t kMostTimers = 4;

  private:
    static constexpr int kEventsPerWait = 64;

    struct Slot {
        Handler* handler = nullptr;
        // Tells the events of this descriptor's handler from those of an earlier one.
        uint32_t generation = 0;
    };

    int waitTimeout() const;
    void dispatch(const epoll_event& event, Owner& owner);
    void drainWake(Owner& owner);
    void fireTimers();

    UniqueFd m_epoll;
    UniqueFd m_wake;
    std::vector<Slot> m_slots;
    Timer* m_timers[kMostTimers] = {};
    size_t m_timerCount = 0;
    epoll_event m_events[kEventsPerWait] = {};
    int m_ready = 0;
    bool m_workLeft = true;  // a first turn at once settles what was noted before the thread ran
    Clock::time_point m_now;
    uint64_t m_turn = 0;
};

}  // namespace kyfw

#endif
