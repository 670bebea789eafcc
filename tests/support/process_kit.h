// Facts about this test process (heap, descriptors, threads, address space) and a way to run a piece of a
// test in a forked child, optionally under an address-space cap, so that nothing else runs under it.
#ifndef KYTEST_PROCESS_KIT_H
#define KYTEST_PROCESS_KIT_H

#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "support/eventually.h"

// 1 in a build under AddressSanitizer or ThreadSanitizer, whose own mappings and allocator change what a
// test may count on (address-space caps, heap figures, speed).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KYTEST_SANITIZED 1
// The sanitizers' allocator reports what it holds for the program (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#define KYTEST_SANITIZED 0
#endif

namespace kytest {

enum class Sanitizer { None, Address, Thread };

// The sanitizer this build runs under.
#if defined(__SANITIZE_ADDRESS__)
constexpr Sanitizer kSanitizer = Sanitizer::Address;
#elif defined(__SANITIZE_THREAD__)
constexpr Sanitizer kSanitizer = Sanitizer::Thread;
#else
constexpr Sanitizer kSanitizer = Sanitizer::None;
#endif

// AddressSanitizer's allocator is not fork-safe: a child forked while another thread allocates inherits
// the allocator's lock held, whatever the code under test does.
constexpr bool kForkSafeAllocator = kSanitizer != Sanitizer::Address;

// Bytes of heap the program holds now (freed blocks held back by a sanitizer not counted).
inline size_t HeapInUse() {
#if KYTEST_SANITIZED
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// The descriptors the process has open.
inline size_t OpenDescriptors() {
    DIR* fds = opendir("/proc/self/fd");
    if (!fds) return 0;
    size_t count = 0;
    while (readdir(fds)) ++count;
    closedir(fds);
    return count - 3;  // ".", ".." and the directory's own descriptor
}

// The threads the process runs.
inline size_t Threads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoul(line.substr(8));
    }
    return 0;
}

// The process's mapped address space in bytes; 0 when it cannot be read.
inline size_t AddressSpace() {
    FILE* statm = fopen("/proc/self/statm", "r");
    if (!statm) return 0;
    unsigned long pages = 0;
    const int read = fscanf(statm, "%lu", &pages);
    fclose(statm);
    return read == 1 ? pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// The exit status of a child whose address-space cap could not be set.
constexpr int kChildCapFailed = 125;

struct ChildLimits {
    size_t extraAddressSpace = 0;  // not 0: the child may map only this much beyond what it has at the start
    unsigned seconds = 60;         // a child that hangs ends by SIGALRM
};

// Runs body in a forked child, which ends with body's result; gives the child's exit status, or 128 + the
// signal that ended it, or -1 when no child could be made. Only the child runs under the limits. A child
// stuck before its alarm is set (in a fork handler) is killed by the parent a few seconds after it.
inline int RunInChild(const std::function<int()>& body, ChildLimits limits = {}) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        alarm(limits.seconds);
        if (limits.extraAddressSpace != 0) {
            const size_t now = AddressSpace();
            const rlimit cap{now + limits.extraAddressSpace, now + limits.extraAddressSpace};
            if (now == 0 || setrlimit(RLIMIT_AS, &cap) != 0) _exit(kChildCapFailed);
        }
        _exit(body());
    }
    int status = 0;
    const auto ended = [&] { return waitpid(child, &status, WNOHANG) == child; };
    if (!Eventually(ended, std::chrono::seconds(limits.seconds + 5))) {
        kill(child, SIGKILL);
        if (waitpid(child, &status, 0) != child) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace kytest

#endif
