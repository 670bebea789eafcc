// The torture run's allocator: every malloc, calloc and realloc of the process (so every operator new too)
// passes through it. While counting it numbers the allocations of all threads, and it can make one of
// them, the n-th, fail as the system would when out of memory.
#ifndef KYTORTURE_FAILING_ALLOCATOR_H
#define KYTORTURE_FAILING_ALLOCATOR_H

namespace kytest {

// Numbers the allocations from now on; failAt above 0 makes the failAt-th of them return null.
void StartCounting(long failAt);
// Counts again, failing the first allocation made from the call stack of the last one failed; false
// when none failed yet.
bool StartFailingSameSite();
// Called by the function that runs a scenario, right before: the frames below it are not part of an
// allocation's call stack as StartFailingSameSite compares them.
void MarkScenarioCaller();
// The file of the program or library whose code asked for the last allocation made to fail.
const char* FailedAllocationCaller();
// Whether an allocation was failed since counting started.
bool Injected();
// Stops numbering; gives how many allocations were numbered.
long StopCounting();
// Blocks allocated and not yet freed, counted from the start of the process.
long LiveBlocks();
// Writes the call stack of the last allocation made to fail to fd, one frame a line; nothing when none
// failed.
// Safe in a signal handler.
void WriteInjectionSite(int fd);
// From now on, keeps where each block is allocated, until it is freed (slow: for finding a leak).
void KeepBlockSites();
// Writes where each block allocated since KeepBlockSites and still live was allocated.
void WriteLiveBlockSites(int fd);
// Takes a call stack once, so that the unwinder is loaded before the first allocation fails.
void PrepareInjectionSite();

}  // namespace kytest

#endif
