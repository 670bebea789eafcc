// Process-local recursive lock behind KyCriticalSection.
#ifndef WZUTILS_KYCRITICALSECTIONH_H
#define WZUTILS_KYCRITICALSECTIONH_H

#include <mutex>

class __attribute__((visibility("default"))) KyCriticalSectionH {
  public:
    KyCriticalSectionH();
    ~KyCriticalSectionH() = default;
    KyCriticalSectionH(const KyCriticalSectionH&) = delete;
    KyCriticalSectionH& operator=(const KyCriticalSectionH&) = delete;

    // wait true blocks until the lock is held; false makes one attempt and returns whether it succeeded.
    bool enter(bool wait);
    void leave();

  private:
    std::recursive_mutex m_mutex;
};

#endif
