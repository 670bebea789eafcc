// fork() with a live relay: the child starts with no tunnels and no copies of the relay's descriptors,
// and gets a relay of its own when it opens a tunnel; the parent's tunnels keep working.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "KyFwControl.h"
#include "support/echo_server.h"
#include "support/eventually.h"
#include "support/fresh_firewall.h"
#include "support/process_kit.h"
#include "support/relay_kit.h"
#include "support/socket_kit.h"

namespace kytest {
namespace {

enum ChildResult { kFine = 0, kInheritedTunnels = 2, kNoTunnel = 3, kNotRelayed = 4, kNoGoAhead = 5 };

// What a child of a process with a live relay can count on.
int UseARelayOfItsOwn(int echoPort) {
    if (kyfw::liveTunnelCount() != 0 || kyfw::liveConnectionCount() != 0) return kInheritedTunnels;
    const int tunnel = OpenTunnel("*child*0*0", echoPort);
    if (tunnel == 0) return kNoTunnel;
    Socket client = ConnectTo(tunnel);
    return client.valid() && RoundTrip(client.fd(), "from the child") ? kFine : kNotRelayed;
}

class RelayFork : public testing::Test {
  protected:
    kytest::EchoServer echo;
    kytest::FreshFirewall firewall;
};

TEST_F(RelayFork, ChildHoldsNoCopiesThatKeepTheParentsSocketsOpen) {
    const int tunnel = OpenTunnel("*parent*0*0", echo.port());
    Socket relayed = ConnectTo(tunnel);
    ASSERT_TRUE(RoundTrip(relayed.fd(), "before"));
    int started[2];
    int goAhead[2];
    ASSERT_EQ(pipe(started), 0);
    ASSERT_EQ(pipe(goAhead), 0);
    const int port = echo.port();
    // The child is forked while the process is quiet (no thread of the test is starting or allocating).
    // It says when it runs (its fork handlers are done by then), then waits until the parent has closed
    // its tunnel.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);
        close(goAhead[1]);
        char byte = 's';
        if (write(started[1], &byte, 1) != 1) _exit(kNoGoAhead);
        if (read(goAhead[0], &byte, 1) != 0) _exit(kNoGoAhead);
        _exit(UseARelayOfItsOwn(port));
    }
    close(goAhead[0]);
    close(started[1]);
    pollfd childStarted{started[0], POLLIN, 0};
    EXPECT_EQ(poll(&childStarted, 1, kytest::kSocketIoLimitSeconds * 1000), 1);
    close(started[0]);
    // While the child lives: closing the tunnel must reset the relayed connection and free the port,
    // which copies of the relay's descriptors in the child would prevent.
    EXPECT_TRUE(kyfw::closeTunnel(tunnel));
    EXPECT_EQ(EndOfStream(relayed.fd()), ECONNRESET);
    EXPECT_FALSE(ConnectTo(tunnel).valid());
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_TRUE(kytest::Eventually([this] { return echo.resets() == 1; }));
    close(goAhead[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), kFine);

    const int again = OpenTunnel("*parent*0*0", echo.port());
    Socket after = ConnectTo(again);
    EXPECT_TRUE(RoundTrip(after.fd(), "after"));
}

// The relay's lock is taken and released all the time while connections are served; a child forked at
// any moment must find it free.
TEST_F(RelayFork, ChildrenForkedWhileTheRelayIsBusyNeverDeadlock) {
    // The child's relay thread would wait for ever on an allocator lock inherited held.
    if (!kytest::kForkSafeAllocator)
        GTEST_SKIP() << "the sanitizer's allocator can be inherited locked across fork()";
    const int tunnel = OpenTunnel("*busy-parent*0*0", echo.port());
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread traffic([&] {
        while (!done) {
            Socket client = ConnectTo(tunnel);
            if (!client.valid() || !RoundTrip(client.fd(), std::string(4096, 't'))) ++failures;
            kyfw::liveConnectionCount();
        }
    });
    const int port = echo.port();
    constexpr int kChildren = 12;
    for (int i = 0; i < kChildren; ++i) {
        EXPECT_EQ(kytest::RunInChild([port] { return UseARelayOfItsOwn(port); }), kFine) << "child " << i;
    }
    done = true;
    traffic.join();
    EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace kytest
