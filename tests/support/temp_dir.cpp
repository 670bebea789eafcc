#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "support/log_capture.h"

namespace kytest {

TempDir::TempDir() {
    char path[] = "/tmp/kytest-dir-XXXXXX";
    if (!::mkdtemp(path)) {
        ADD_FAILURE() << "TempDir: could not create a directory";
        return;
    }
    m_path = path;
}

TempDir::~TempDir() {
    if (m_path.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

}  // namespace kytest
