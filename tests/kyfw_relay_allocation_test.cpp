// Fault: the relay cannot have memory for a buffer. This executable puts its own mmap in front of the C
// library's (and of a sanitizer's): while armed, it fails every anonymous mapping of a relay buffer's
// size, from whichever thread. What must hold: the connection concerned is cut, the process and the relay
// live on, and the next connection is served.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>

#include "kyfw_relay_test_helpers.h"

namespace {

std::atomic<bool> g_failBufferMaps{false};
std::atomic<long> g_injected{0};

using MmapFn = void* (*)(void*, size_t, int, int, int, off_t);

}  // namespace

// Left uninstrumented: ThreadSanitizer maps memory while it sets up a new thread, before that thread can
// run instrumented code.
extern "C" __attribute__((no_sanitize("thread"))) void* mmap(void* address, size_t length, int protection,
                                                             int flags, int fd, off_t offset) noexcept {
    static MmapFn next = reinterpret_cast<MmapFn>(dlsym(RTLD_NEXT, "mmap"));
    if (g_failBufferMaps.load(std::memory_order_relaxed) && length == kyfw::kRelayBufferSize &&
        (flags & MAP_ANONYMOUS)) {
        g_injected.fetch_add(1, std::memory_order_relaxed);
        errno = ENOMEM;
        return MAP_FAILED;
    }
    return next(address, length, protection, flags, fd, offset);
}

namespace {

TEST(RelayAllocation, BufferThatCannotBeHadCutsItsConnectionOnly) {
    // A fresh process: no buffer is kept for reuse yet, so every buffer the relay takes is mapped.
    ASSERT_EQ(kyfw::relayBufferBytes(), 0u);
    relaytest::Target echo;
    const int tunnel = relaytest::OpenTunnel("*starved*0*0", echo.port());

    g_failBufferMaps = true;
    relaytest::Fd starved = relaytest::ConnectTo(tunnel);
    ASSERT_TRUE(relaytest::SendAll(starved.get(), "no room for this"));
    EXPECT_EQ(relaytest::EndOfStream(starved.get()), ECONNRESET);
    const long failedForStarved = g_injected.load();
    EXPECT_GT(failedForStarved, 0);
    // A connection that sends nothing needs no buffer: it lives on through failed attempts to get one.
    relaytest::Fd quiet = relaytest::ConnectTo(tunnel);
    EXPECT_TRUE(relaytest::Eventually([failedForStarved] { return g_injected.load() > failedForStarved; }));
    g_failBufferMaps = false;

    EXPECT_TRUE(relaytest::RoundTrip(quiet.get(), "still here"));
    relaytest::Fd later = relaytest::ConnectTo(tunnel);
    EXPECT_TRUE(relaytest::RoundTrip(later.get(), "served"));
    later.close();
    quiet.close();
    EXPECT_TRUE(relaytest::Eventually([] { return kyfw::liveConnectionCount() == 0; }));
    EXPECT_TRUE(relaytest::Eventually([&echo] { return echo.resets() == 1; })) << echo.resets();
}

}  // namespace
