#include "platform/fx_critical_section.h"

#include <boost/interprocess/exceptions.hpp>
#include <new>

bool FXCriticalSection::TryLock() {
    bool taken = false;
    try {
        taken = m_recursiveMutex.try_lock();
    } catch (const boost::interprocess::interprocess_exception&) {
        taken = false;
    }
    if (taken) NoteTaken();
    return taken;
}

bool FXCriticalSection::TryLock(CTimeInterval interval) {
    // The interval is taken by value and never read: one attempt, no wait.
    return FXLockableResource::TryLock(interval);
}

void FXCriticalSection::Lock() {
    try {
        m_recursiveMutex.lock();
    } catch (const boost::interprocess::interprocess_exception&) {
        return;
    }
    NoteTaken();
}

void FXCriticalSection::Unlock() {
    ClearLockOwner();
    if (!pthread_equal(m_holder.load(std::memory_order_relaxed), pthread_self())) return;
    if (--m_depth == 0) m_holder.store(pthread_t(), std::memory_order_relaxed);
    m_recursiveMutex.unlock();
}

void FXCriticalSection::NoteTaken() {
    m_holder.store(pthread_self(), std::memory_order_relaxed);
    ++m_depth;
    SetLockOwner();
}

// The inherited mutex is neither unlocked nor destroyed: both are undefined for a mutex that the child's
// thread, with its new kernel thread id, does not hold. A fresh one is built over it; should that fail,
// the inherited one stays.
void FXCriticalSection::RenewInChild() {
    try {
        new (&m_recursiveMutex) boost::interprocess::interprocess_recursive_mutex();
    } catch (const boost::interprocess::interprocess_exception&) {
        return;
    }
    m_holder.store(pthread_t(), std::memory_order_relaxed);
    m_depth = 0;
    ClearLockOwner();
}
