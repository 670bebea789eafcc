#include "support/working_directory.h"

#include <gtest/gtest.h>

#include <system_error>

namespace kytest {

WorkingDirectory::WorkingDirectory(const std::string& dir) { enter(dir); }

WorkingDirectory::~WorkingDirectory() {
    if (m_previous.empty()) return;
    std::error_code error;
    std::filesystem::current_path(m_previous, error);
    EXPECT_FALSE(error) << "WorkingDirectory: cannot go back to " << m_previous << ": " << error.message();
}

void WorkingDirectory::enter(const std::string& dir) {
    std::error_code error;
    std::filesystem::path previous = std::filesystem::current_path(error);
    ASSERT_FALSE(error) << "WorkingDirectory: no current directory: " << error.message();
    std::filesystem::current_path(dir, error);
    ASSERT_FALSE(error) << "WorkingDirectory: cannot enter " << dir << ": " << error.message();
    m_previous = std::move(previous);
}

}  // namespace kytest
