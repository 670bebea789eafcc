#include "KyCriticalSectionH.h"

#include <system_error>

KyCriticalSectionH::KyCriticalSectionH() = default;

// A lock that cannot be taken (the system refuses, or the recursion limit is reached) is reported as not
// entered rather than thrown at callers that expect a result.
bool KyCriticalSectionH::enter(bool wait) {
    if (!wait) return m_mutex.try_lock();
    try {
        m_mutex.lock();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void KyCriticalSectionH::leave() { m_mutex.unlock(); }
