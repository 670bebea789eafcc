// Fault: the relay cannot have memory for a buffer. This executable puts its own mmap in front of the C
// library's (and of a sanitizer's): while armed, it fails every anonymous mapping of a relay buffer's
// size, from whichever thread. What must hold: the connection concerned is cut, the process and the relay
// live on, and the next connection is served.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "KyFwControl.h"
#include "support/echo_server.h"
#include "support/eventually.h"
#include "support/relay_kit.h"
#include "support/socket_kit.h"

namespace {

// Plain variables reached through atomic builtins: the interposed mmap runs before any sanitizer runtime
// is ready, so it calls nothing that the sanitizer instruments.
bool g_failBufferMaps = false;
long g_injected = 0;

using MmapFn = void* (*)(void*, size_t, int, int, int, off_t);
MmapFn g_nextMmap = nullptr;

void armFailures(bool on) { __atomic_store_n(&g_failBufferMaps, on, __ATOMIC_RELEASE); }
long injected() { return __atomic_load_n(&g_injected, __ATOMIC_ACQUIRE); }

}  // namespace

// Left uninstrumented, and until the test has looked up the next mmap every call goes straight to the
// kernel: sanitizer runtimes map memory while they start, before they could serve a lookup or a guarded
// static.
extern "C" __attribute__((no_sanitize("thread"))) void* mmap(void* address, size_t length, int protection,
                                                             int flags, int fd, off_t offset) noexcept {
    if (__atomic_load_n(&g_failBufferMaps, __ATOMIC_ACQUIRE) && length == kyfw::kRelayBufferSize &&
        (flags & MAP_ANONYMOUS)) {
        __atomic_fetch_add(&g_injected, 1, __ATOMIC_ACQ_REL);
        errno = ENOMEM;
        return MAP_FAILED;
    }
    MmapFn next = __atomic_load_n(&g_nextMmap, __ATOMIC_ACQUIRE);
    if (!next) {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the kernel gives the mapping's address as a number
        return reinterpret_cast<void*>(syscall(SYS_mmap, address, length, protection, flags, fd, offset));
    }
    return next(address, length, protection, flags, fd, offset);
}

namespace kytest {
namespace {

TEST(RelayAllocation, BufferThatCannotBeHadCutsItsConnectionOnly) {
    __atomic_store_n(&g_nextMmap, reinterpret_cast<MmapFn>(dlsym(RTLD_NEXT, "mmap")), __ATOMIC_RELEASE);
    ASSERT_NE(__atomic_load_n(&g_nextMmap, __ATOMIC_ACQUIRE), nullptr);
    // A fresh process: no buffer is kept for reuse yet, so every buffer the relay takes is mapped.
    ASSERT_EQ(kyfw::relayBufferBytes(), 0u);
    kytest::EchoServer echo;
    const int tunnel = OpenTunnel("*starved*0*0", echo.port());

    armFailures(true);
    kytest::Socket starved = kytest::ConnectTo(tunnel);
    ASSERT_TRUE(kytest::SendAll(starved.fd(), "no room for this"));
    EXPECT_EQ(EndOfStream(starved.fd()), ECONNRESET);
    const long failedForStarved = injected();
    EXPECT_GT(failedForStarved, 0);
    // A connection that sends nothing needs no buffer: it lives on through failed attempts to get one.
    kytest::Socket quiet = kytest::ConnectTo(tunnel);
    EXPECT_TRUE(kytest::Eventually([failedForStarved] { return injected() > failedForStarved; }));
    armFailures(false);

    EXPECT_TRUE(RoundTrip(quiet.fd(), "still here"));
    kytest::Socket later = kytest::ConnectTo(tunnel);
    EXPECT_TRUE(RoundTrip(later.fd(), "served"));
    later.close();
    quiet.close();
    EXPECT_TRUE(kytest::Eventually([] { return kyfw::liveConnectionCount() == 0; }));
    EXPECT_TRUE(kytest::Eventually([&echo] { return echo.resets() == 1; })) << echo.resets();
}

}  // namespace
}  // namespace kytest
