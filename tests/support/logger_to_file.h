// The logger pointed at a file of the test's for the life of an object.
#ifndef KYTEST_LOGGER_TO_FILE_H
#define KYTEST_LOGGER_TO_FILE_H

#include <string>

namespace kytest {

// Points the logger at path with level as its threshold; puts back the destination and threshold it found
// when destroyed. A fixture holds one as a member, or a test within a scope. The file is the logger's to
// create: the object neither makes nor removes it.
class LoggerToFile {
  public:
    explicit LoggerToFile(const std::string& path, int level = 7);
    ~LoggerToFile();
    LoggerToFile(const LoggerToFile&) = delete;
    LoggerToFile& operator=(const LoggerToFile&) = delete;

  private:
    std::string m_oldPath;
    int m_oldLevel;
};

}  // namespace kytest

#endif
