#include "demo_trace_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace kydemo {

DemoTraceDir::DemoTraceDir() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kydemo-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data())) m_path = name.data();
}

DemoTraceDir::~DemoTraceDir() {
    Leave();
    if (m_path.empty()) return;
    unlink(LogPath().c_str());
    rmdir(m_path.c_str());
}

bool DemoTraceDir::Enter() {
    if (m_path.empty() || m_previousDir >= 0) return false;
    m_previousDir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_previousDir < 0) return false;
    if (chdir(m_path.c_str()) == 0) return true;
    close(m_previousDir);
    m_previousDir = -1;
    return false;
}

void DemoTraceDir::Leave() {
    if (m_previousDir < 0) return;
    if (fchdir(m_previousDir) != 0) perror("kydemo: cannot return to the previous directory");
    close(m_previousDir);
    m_previousDir = -1;
}

std::string DemoTraceDir::ReadLog() const {
    std::string text;
    FILE* file = m_path.empty() ? nullptr : fopen(LogPath().c_str(), "rb");
    if (!file) return text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
    fclose(file);
    return text;
}

}  // namespace kydemo
