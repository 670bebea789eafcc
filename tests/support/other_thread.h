// A call made on a thread of its own, for the tests of locks: what a thread that does not hold the lock
// finds.
#ifndef KYTEST_OTHER_THREAD_H
#define KYTEST_OTHER_THREAD_H

#include <thread>

namespace kytest {

// Runs fn on a thread of its own and gives its result once that thread has ended.
template <typename Fn>
auto OnOtherThread(Fn fn) {
    decltype(fn()) result{};
    std::thread([&] { result = fn(); }).join();
    return result;
}

// True when another thread enters lock at once (enter(false)); it leaves again. For the locks that are
// entered and left (KyCriticalSection, KyCriticalSectionH).
template <typename Lock>
bool EntersFromAnotherThread(Lock& lock) {
    return OnOtherThread([&lock] {
        const bool entered = lock.enter(false);
        if (entered) lock.leave();
        return entered;
    });
}

}  // namespace kytest

#endif
