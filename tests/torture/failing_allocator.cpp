#include "torture/failing_allocator.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

// glibc's own allocator behind the public names, which this file takes over for the whole process.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* ptr);
}

namespace {

constexpr int kSiteFrames = 48;

std::atomic<bool> g_counting{false};
std::atomic<long> g_counted{0};
std::atomic<long> g_failAt{0};
std::atomic<long> g_live{0};
std::atomic<bool> g_injected{false};
void* g_site[kSiteFrames];
int g_siteDepth = 0;
// Failing by call stack: the first allocation made from the same call stack as the last one failed.
std::atomic<bool> g_failBySite{false};
void* g_wantedSite[kSiteFrames];
int g_wantedDepth = 0;
// Frames below the scenario (the harness's own), which differ from one way of running it to another.
int g_baseFrames = 0;
int g_siteBase = 0;

// The frames of a call stack that belong to the scenario and what it called.
int OwnFrames(int depth, int base) { return depth > base ? depth - base : depth; }

// Numbers one allocation; true when it is the one to fail.
bool FailThisOne() {
    if (!g_counting.load(std::memory_order_relaxed)) return false;
    const long number = g_counted.fetch_add(1, std::memory_order_relaxed) + 1;
    const bool bySite = g_failBySite.load(std::memory_order_relaxed);
    if (bySite ? g_injected.load() : number != g_failAt.load(std::memory_order_relaxed)) return false;
    // One call for both ways, so that the same call stack gives the same frames.
    void* frames[kSiteFrames];
    const int depth = backtrace(frames, kSiteFrames);
    const int own = OwnFrames(depth, g_baseFrames);
    if (bySite && (own != g_wantedDepth || std::memcmp(frames, g_wantedSite, sizeof(void*) * own) != 0))
        return false;
    std::memcpy(g_site, frames, sizeof frames);
    g_siteDepth = depth;
    g_siteBase = g_baseFrames;
    g_injected.store(true);
    errno = ENOMEM;
    return true;
}

// Where each live block was allocated, while sites are kept: a fixed table, so that keeping it allocates
// nothing.
constexpr size_t kSiteSlots = 16384;
constexpr int kBlockFrames = 12;
struct BlockSite {
    void* block;
    int depth;
    void* frames[kBlockFrames];
};
BlockSite g_blocks[kSiteSlots];
std::atomic<bool> g_keepSites{false};
std::atomic_flag g_blocksLock = ATOMIC_FLAG_INIT;
thread_local bool t_inSites = false;

size_t SlotOf(const void* block) { return (reinterpret_cast<uintptr_t>(block) >> 4) % kSiteSlots; }

class BlocksGuard {
  public:
    BlocksGuard() {
        while (g_blocksLock.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~BlocksGuard() { g_blocksLock.clear(std::memory_order_release); }
};

void KeepSite(void* block) {
    if (!g_keepSites.load(std::memory_order_relaxed) || t_inSites) return;
    t_inSites = true;
    void* frames[kBlockFrames];
    const int depth = backtrace(frames, kBlockFrames);
    {
        BlocksGuard guard;
        for (size_t i = 0, slot = SlotOf(block); i < kSiteSlots; ++i, slot = (slot + 1) % kSiteSlots) {
            if (g_blocks[slot].block) continue;
            g_blocks[slot].block = block;
            g_blocks[slot].depth = depth;
            std::memcpy(g_blocks[slot].frames, frames, sizeof frames);
            break;
        }
    }
    t_inSites = false;
}

void DropSite(void* block) {
    if (!g_keepSites.load(std::memory_order_relaxed)) return;
    BlocksGuard guard;
    for (size_t i = 0, slot = SlotOf(block); i < kSiteSlots; ++i, slot = (slot + 1) % kSiteSlots) {
        if (g_blocks[slot].block != block) continue;
        g_blocks[slot].block = nullptr;
        break;
    }
}

void* Counted(void* block) {
    if (!block) return nullptr;
    g_live.fetch_add(1, std::memory_order_relaxed);
    KeepSite(block);
    return block;
}

}  // namespace

extern "C" void* malloc(size_t size) {
    if (FailThisOne()) return nullptr;
    return Counted(__libc_malloc(size));
}

extern "C" void* calloc(size_t count, size_t size) {
    if (FailThisOne()) return nullptr;
    return Counted(__libc_calloc(count, size));
}

extern "C" void* realloc(void* ptr, size_t size) {
    if (!ptr) return malloc(size);
    if (size == 0) {
        // glibc frees the block and gives null.
        g_live.fetch_sub(1, std::memory_order_relaxed);
        DropSite(ptr);
        return __libc_realloc(ptr, 0);
    }
    if (FailThisOne()) return nullptr;
    void* moved = __libc_realloc(ptr, size);
    if (moved && moved != ptr) {
        DropSite(ptr);
        KeepSite(moved);
    }
    return moved;
}

extern "C" void free(void* ptr) {
    if (!ptr) return;
    g_live.fetch_sub(1, std::memory_order_relaxed);
    DropSite(ptr);
    __libc_free(ptr);
}

// Aligned blocks are counted, never failed: they are released by free like the others.
extern "C" void* memalign(size_t alignment, size_t size) { return Counted(__libc_memalign(alignment, size)); }

extern "C" void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

extern "C" int posix_memalign(void** out, size_t alignment, size_t size) {
    void* block = memalign(alignment, size);
    if (!block) return ENOMEM;
    *out = block;
    return 0;
}

extern "C" void* valloc(size_t size) { return memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size); }

namespace kytest {

void StartCounting(long failAt) {
    g_failBySite.store(false);
    if (failAt > 0) g_injected.store(false);
    g_counted.store(0);
    g_failAt.store(failAt);
    g_counting.store(true);
}

bool StartFailingSameSite() {
    if (!g_injected.load()) return false;
    std::memcpy(g_wantedSite, g_site, sizeof g_site);
    g_wantedDepth = OwnFrames(g_siteDepth, g_siteBase);
    g_injected.store(false);
    g_counted.store(0);
    g_failAt.store(0);
    g_failBySite.store(true);
    g_counting.store(true);
    return true;
}

__attribute__((noinline)) void MarkScenarioCaller() {
    void* frames[kSiteFrames];
    // This function's own frame is not below the scenario.
    g_baseFrames = backtrace(frames, kSiteFrames) - 1;
}

const char* FailedAllocationCaller() {
    Dl_info own{};
    if (g_siteDepth == 0 || dladdr(g_site[0], &own) == 0) return "";
    for (int i = 1; i < g_siteDepth; ++i) {
        Dl_info info{};
        if (dladdr(g_site[i], &info) == 0 || !info.dli_fname) return "";
        // The allocator's own frames, and the C and C++ runtimes' (operator new, fopen, strdup), which
        // allocate for whoever called them, are not the caller.
        if (info.dli_fbase == own.dli_fbase || std::strstr(info.dli_fname, "libstdc++") ||
            std::strstr(info.dli_fname, "/libc.so"))
            continue;
        return info.dli_fname;
    }
    return "";
}

bool Injected() { return g_injected.load(); }

long StopCounting() {
    g_counting.store(false);
    return g_counted.load();
}

long LiveBlocks() { return g_live.load(); }

void WriteInjectionSite(int fd) {
    if (!g_injected.load()) return;
    backtrace_symbols_fd(g_site, g_siteDepth, fd);
}

void KeepBlockSites() { g_keepSites.store(true); }

void WriteLiveBlockSites(int fd) {
    BlocksGuard guard;
    for (const BlockSite& site : g_blocks) {
        if (!site.block) continue;
        const ssize_t ignored = write(fd, "live block allocated at:\n", 25);
        (void)ignored;
        backtrace_symbols_fd(const_cast<void* const*>(site.frames), site.depth, fd);
    }
}

void PrepareInjectionSite() {
    void* frames[4];
    backtrace(frames, 4);
}

}  // namespace kytest
