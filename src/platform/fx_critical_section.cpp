#include "platform/fx_critical_section.h"

#include <boost/interprocess/exceptions.hpp>
#include <new>

#include "platform/left_behind.h"

namespace {

using RecursiveMutex = boost::interprocess::interprocess_recursive_mutex;

}  // namespace

// Throws, as the mutex's own construction does, when no mutex can be made.
FXCriticalSection::FXCriticalSection() : m_recursiveMutex(new RecursiveMutex()) {}

FXCriticalSection::~FXCriticalSection() { delete m_recursiveMutex; }

bool FXCriticalSection::TryLock() {
    bool taken = false;
    try {
        taken = m_recursiveMutex->try_lock();
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
        m_recursiveMutex->lock();
    } catch (const boost::interprocess::interprocess_exception&) {
        return;
    }
    NoteTaken();
}

void FXCriticalSection::Unlock() {
    ClearLockOwner();
    if (!pthread_equal(m_holder.load(std::memory_order_relaxed), pthread_self())) return;
    if (--m_depth == 0) m_holder.store(pthread_t(), std::memory_order_relaxed);
    m_recursiveMutex->unlock();
}

void FXCriticalSection::NoteTaken() {
    m_holder.store(pthread_self(), std::memory_order_relaxed);
    ++m_depth;
    SetLockOwner();
}

// The inherited mutex is neither unlocked nor destroyed: both are undefined for a mutex that the child's
// thread, with its new kernel thread id, does not hold. It is left behind and a fresh one takes its place;
// should that fail, the inherited one stays.
void FXCriticalSection::RenewInChild() {
    kylibcurl::detail::LeftBehind leftBehind(m_recursiveMutex);
    if (!leftBehind.ready()) return;
    RecursiveMutex* fresh = nullptr;
    try {
        fresh = new (std::nothrow) RecursiveMutex();
    } catch (const boost::interprocess::interprocess_exception&) {
        fresh = nullptr;
    }
    if (!fresh) return;
    leftBehind.Keep();
    m_recursiveMutex = fresh;
    m_holder.store(pthread_t(), std::memory_order_relaxed);
    m_depth = 0;
    ClearLockOwner();
}
