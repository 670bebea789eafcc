#include "platform/fx_critical_section.h"

#include <boost/interprocess/exceptions.hpp>

bool FXCriticalSection::TryLock() {
    bool taken = false;
    try {
        taken = m_recursiveMutex.try_lock();
    } catch (const boost::interprocess::interprocess_exception&) {
        taken = false;
    }
    if (taken) SetLockOwner();
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
    SetLockOwner();
}

void FXCriticalSection::Unlock() {
    ClearLockOwner();
    m_recursiveMutex.unlock();
}
