// A process-wide object built on first use, never destroyed, and settled across fork(). It is built under
// a lock that fork() holds, so a child never inherits it half built (and never waits for a thread it lacks
// to finish building it); once built, its own lock is held across fork() through the object's handlers.
#ifndef WZNETWORK_FORK_SAFE_INSTANCE_H
#define WZNETWORK_FORK_SAFE_INSTANCE_H

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace kyfw {

// T gives ForkSafeInstance<T> its constructor and three calls: lockForFork() before fork(),
// unlockAfterFork() in the parent and afterForkInChild() in the child, which leaves T unlocked. One
// ForkSafeInstance<T> is defined at namespace scope, so that the handlers are registered while the
// library loads.
template <typename T>
class ForkSafeInstance {
  public:
    ForkSafeInstance() { pthread_atfork(prepare, parent, child); }
    ForkSafeInstance(const ForkSafeInstance&) = delete;
    ForkSafeInstance& operator=(const ForkSafeInstance&) = delete;

    static T& get() {
        if (T* built = s_object.load(std::memory_order_acquire)) return *built;
        std::lock_guard<std::mutex> guard(s_buildLock);
        T* built = s_object.load(std::memory_order_relaxed);
        if (!built) {
            built = new T;
            s_object.store(built, std::memory_order_release);
        }
        return *built;
    }

  private:
    static void prepare() {
        s_buildLock.lock();
        if (T* built = s_object.load(std::memory_order_relaxed)) built->lockForFork();
    }
    static void parent() {
        if (T* built = s_object.load(std::memory_order_relaxed)) built->unlockAfterFork();
        s_buildLock.unlock();
    }
    static void child() {
        if (T* built = s_object.load(std::memory_order_relaxed)) built->afterForkInChild();
        s_buildLock.unlock();
    }

    static inline std::mutex s_buildLock;
    static inline std::atomic<T*> s_object{nullptr};
};

}  // namespace kyfw

#endif
