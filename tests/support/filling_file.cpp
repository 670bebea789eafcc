#include "support/filling_file.h"

#include <sys/mount.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace kytest {

namespace {

constexpr rlim_t kFileSizeLimit = rlim_t{64} * 1024;

}  // namespace

FillingDirectory::FillingDirectory(Filling how) : m_how(how) {
    if (m_how != Filling::FullTmpfs) return;
    if (mount("kytest-full", m_dir.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0700") != 0) {
        m_problem = std::string("cannot mount a 1 MiB tmpfs: ") + std::strerror(errno);
        return;
    }
    m_mounted = true;
}

FillingDirectory::~FillingDirectory() {
    if (m_mounted) umount2(m_dir.path().c_str(), MNT_DETACH);
}

bool FillingDirectory::LimitWrites() const {
    if (m_how != Filling::FileSizeLimit) return true;
    const rlimit limit{kFileSizeLimit, kFileSizeLimit};
    return std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR && setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

}  // namespace kytest
