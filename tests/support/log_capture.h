// Sends the logger's lines to a temporary file for the life of the object and reads them back.
#ifndef KYTEST_LOG_CAPTURE_H
#define KYTEST_LOG_CAPTURE_H

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "support/logger_to_file.h"

namespace kytest {

struct LogLine {
    std::string level;  // "-1", "2", ..., or "-" for Debug lines
    std::string tag;
    std::string message;

    bool operator==(const LogLine& other) const {
        return level == other.level && tag == other.tag && message == other.message;
    }
};

// Log lines print readably in failed comparisons: {level tag: message}.
void PrintTo(const LogLine& line, std::ostream* out);

class LogCapture {
  public:
    // Points the logger at a fresh file and sets its level threshold; restores both when destroyed.
    explicit LogCapture(int level = 7);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every line written so far, in order. A line that does not start with the time stamp layout continues
    // the previous message (joined by '\n'): a message that held a line feed.
    std::vector<LogLine> lines() const;
    std::vector<std::string> messages() const;        // the message of every line, in order
    bool contains(const std::string& message) const;  // an exact message
    size_t count(const std::string& message) const;   // lines with exactly this message
    // A line with exactly this level ("-1", "2", "-"), tag and message.
    bool containsLine(const std::string& level, const std::string& tag, const std::string& message) const;
    void clear();
    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
    std::optional<LoggerToFile> m_logger;
};

// A fresh directory under /tmp, removed with its content when destroyed.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

}  // namespace kytest

#endif
