// The clocks the benchmarks read, in nanoseconds.
#ifndef KYBENCH_SUITE_CLOCKS_H
#define KYBENCH_SUITE_CLOCKS_H

#include <time.h>

#include <cstdint>

namespace kybench {

inline int64_t ReadClockNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// CPU time of the calling thread, user and kernel: what one request costs the thread that sends it.
inline int64_t ThreadCpuNs() { return ReadClockNs(CLOCK_THREAD_CPUTIME_ID); }
// CPU time of every thread of the process.
inline int64_t ProcessCpuNs() { return ReadClockNs(CLOCK_PROCESS_CPUTIME_ID); }
inline int64_t WallNs() { return ReadClockNs(CLOCK_MONOTONIC); }

}  // namespace kybench

#endif
