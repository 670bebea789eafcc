// Where the loggers write and which levels pass: taken from the environment once, then changed only
// through EvDebug's static setters.
#ifndef WZUTILS_EVDEBUG_SETTINGS_H
#define WZUTILS_EVDEBUG_SETTINGS_H

#include <atomic>
#include <mutex>
#include <string>

namespace wzutils {

class EvDebugSettings {
  public:
    // Built on first use from EVDEBUG_FILE and EVDEBUG_LEVEL, and never destroyed, so that lines written
    // while the program ends still find it.
    static EvDebugSettings& instance();

    std::string destination() const;
    void setDestination(const std::string& path);
    int level() const { return m_level.load(std::memory_order_relaxed); }
    void setLevel(int level) { m_level.store(level, std::memory_order_relaxed); }
    // Held across fork() by the logger's fork handlers, so that a child finds the destination unlocked.
    void lockForFork() { m_mutex.lock(); }
    void unlockAfterFork() { m_mutex.unlock(); }

  private:
    EvDebugSettings();

    mutable std::mutex m_mutex;  // guards m_path
    std::string m_path;
    std::atomic<int> m_level;
};

}  // namespace wzutils

#endif
