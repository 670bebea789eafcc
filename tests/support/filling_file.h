// A directory whose files stop taking bytes part-way through a write, as on a full disk: a 1 MiB tmpfs
// mounted for the object's life, or a file-size limit, which binds the whole process and so is set only in
// the forked child that writes (with SIGXFSZ ignored, a write across the limit is cut short at it, and the
// next fails with EFBIG).
#ifndef KYTEST_FILLING_FILE_H
#define KYTEST_FILLING_FILE_H

#include <cstddef>
#include <string>

#include "support/log_capture.h"

namespace kytest {

enum class Filling { FullTmpfs, FileSizeLimit };

class FillingDirectory {
  public:
    explicit FillingDirectory(Filling how);
    ~FillingDirectory();  // unmounts the tmpfs
    FillingDirectory(const FillingDirectory&) = delete;
    FillingDirectory& operator=(const FillingDirectory&) = delete;

    // Empty when the directory is ready; otherwise why it is not (a test then skips).
    const std::string& problem() const { return m_problem; }
    const std::string& path() const { return m_dir.path(); }
    std::string file(const std::string& name) const { return m_dir.file(name); }
    // In the child that writes: sets the file-size limit where that is the way files fill up. False when
    // it cannot be set.
    bool LimitWrites() const;

  private:
    Filling m_how;
    TempDir m_dir;
    bool m_mounted = false;
    std::string m_problem;
};

}  // namespace kytest

#endif
