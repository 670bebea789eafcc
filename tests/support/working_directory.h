// A test run inside a directory of its own, for code that writes into the current directory.
#ifndef KYTEST_WORKING_DIRECTORY_H
#define KYTEST_WORKING_DIRECTORY_H

#include <filesystem>
#include <string>

namespace kytest {

// Makes dir the current directory for the life of the object and goes back to the one it found when
// destroyed. A fixture holds one as a member after the directory it enters, or a test within a scope. A
// directory that cannot be entered is a fatal failure: made before the test's body, it keeps the body
// from running.
class WorkingDirectory {
  public:
    explicit WorkingDirectory(const std::string& dir);
    ~WorkingDirectory();
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    void enter(const std::string& dir);

    std::filesystem::path m_previous;  // empty until dir was entered
};

}  // namespace kytest

#endif
