// Debug logger. Each call writes exactly one line, appended to the destination file with one write, or to
// standard error when there is no destination or the file cannot take the line (it cannot be opened, or
// the write fails, as on a full disk). Line layout:
//   YYYY-MM-DD HH:MM:SS.mmm <thread-id> <level> <tag>: <message>
// with the level as a number, or '-' for Debug lines, which have no level and are always written. Lines
// whose level is above the threshold are dropped.
//
// Control bytes inside the tag and the message are written escaped, so that no text can start a line of
// its own: "\n", "\r" and "\t" for line feed, carriage return and tab, "\xNN" (two lower-case hex digits)
// for the other bytes below 0x20 and for DEL (0x7F). Every other byte, 0x80 and above included, is written
// as it is. A message that ends with one line feed has it taken as the line's end, as if it were not there.
//
// Configuration: the destination (EVDEBUG_FILE, unset or empty: standard error) and the threshold
// (EVDEBUG_LEVEL, a decimal int, default 2 when unset or not a number) are read from the environment once,
// when the first line is written or the first of the calls below is made. Changing the environment later
// has no effect; SetDestination and SetLevel change them while the program runs, from any thread, also
// while other threads log. A logger built with an EvDebugFileInstance keeps that instance's file and
// follows the threshold.
//
// Logging never throws and keeps errno as the caller had it; a line that cannot be built for want of
// memory is replaced by a short notice on standard error.
#ifndef WZUTILS_EVDEBUG_H
#define WZUTILS_EVDEBUG_H

#include <string>

#define WZUTILS_API __attribute__((visibility("default")))

// A fixed destination for one logger; null means the default (see SetDestination).
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

    // The file of every logger without a fixed instance; empty: standard error.
    static void SetDestination(const std::string& path);
    static std::string Destination();
    // Lines whose level is above this are dropped, for every logger.
    static void SetLevel(int level);
    static int Level();

  private:
    EvDebugFileInstance* m_instance;
};

#endif
