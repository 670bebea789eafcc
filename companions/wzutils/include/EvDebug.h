// Debug logger. Each line goes to the file named by EVDEBUG_FILE (appended, one write per line), or to
// standard error when it is unset or cannot be opened. EVDEBUG_LEVEL (default 2) drops lines whose level is
// higher; Debug lines, which have no level, are always written. Line layout:
//   YYYY-MM-DD HH:MM:SS.mmm <thread-id> <level> <tag>: <message>
// with the level as a number, or '-' for Debug lines. A message that ends with a line feed gets no second.
#ifndef WZUTILS_EVDEBUG_H
#define WZUTILS_EVDEBUG_H

#include <string>

#define WZUTILS_API __attribute__((visibility("default")))

// A fixed destination for one logger; null means the default (EVDEBUG_FILE or standard error).
class WZUTILS_API EvDebugFileInstance {
  public:
    explicit EvDebugFileInstance(std::string path) : m_path(std::move(path)) {}
    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
};

class WZUTILS_API EvDebug {
  public:
    explicit EvDebug(EvDebugFileInstance* instance = nullptr);
    ~EvDebug() = default;
    EvDebug(const EvDebug&) = delete;
    EvDebug& operator=(const EvDebug&) = delete;

    void DebugLvl(const char* tag, int level, const char* format, ...) __attribute__((format(printf, 4, 5)));
    void Debug(const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));

  private:
    EvDebugFileInstance* m_instance;
};

#endif
