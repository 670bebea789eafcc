// The relay's event loop on its own: an event for a descriptor that was unwatched (and maybe watched
// again for another handler) since the wait never reaches a handler, timers fire once when due, and a
// wake-up or work left ends a wait that would otherwise block. A wait that a fault would leave blocked is
// ended by a safety timer, so a failure shows as a wrong count, never as a hang.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "event_loop.h"

namespace kytest {
namespace {

using kyfw::EventLoop;
using kyfw::UniqueFd;

constexpr auto kSafety = std::chrono::seconds(5);
constexpr int kMostTurns = 100;

struct Pair {
    UniqueFd near;
    UniqueFd far;
};

Pair MakePair() {
    int ends[2] = {-1, -1};
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
    return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

class Owner final : public EventLoop::Owner {
  public:
    void onWake() override { ++wakes; }
    bool finishTurn() override { return workLeftTurns-- > 0; }
    int wakes = 0;
    int workLeftTurns = 0;
};

class CountingTimer final : public EventLoop::Timer {
  public:
    void onTimer() override { ++fired; }
    int fired = 0;
};

class Counting final : public EventLoop::Handler {
  public:
    void onEvents(int, uint32_t) override { ++events; }
    int events = 0;
};

class EventLoopTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(loop.open());
        loop.addTimer(safety);
        loop.arm(safety, EventLoop::Clock::now() + kSafety);
    }
    void TearDown() override { loop.close(); }

    void Turn() {
        loop.wait();
        loop.serve(owner);
    }

    EventLoop loop;
    Owner owner;
    CountingTimer safety;
};

// Whichever of two ready descriptors is served first closes the other and gives its number to a new
// socket, watched by a third handler: the old event still in the batch reaches neither.
class Replacing final : public EventLoop::Handler {
  public:
    void onEvents(int, uint32_t) override {
        ++events;
        if (replaced) return;
        replaced = true;
        const int number = other->near.get();
        loop->unwatch(number);
        other->near.reset();
        *replacement = MakePair();
        ASSERT_EQ(replacement->near.get(), number) << "the lowest free number is the one just closed";
        ASSERT_TRUE(loop->watch(number, EPOLLIN, *newcomer));
        // Readable at once: an event under the old entry would be mistaken for the newcomer's.
        ASSERT_EQ(write(replacement->far.get(), "x", 1), 1);
    }
    static inline bool replaced = false;
    int events = 0;
    EventLoop* loop = nullptr;
    Pair* other = nullptr;
    Pair* replacement = nullptr;
    Counting* newcomer = nullptr;
};

TEST_F(EventLoopTest, AnEventOfAnUnwatchedDescriptorReachesNoHandler) {
    Pair first = MakePair();
    Pair second = MakePair();
    Pair replacement;
    Counting newcomer;
    Replacing onFirst;
    Replacing onSecond;
    Replacing::replaced = false;
    onFirst.loop = onSecond.loop = &loop;
    onFirst.other = &second;
    onSecond.other = &first;
    onFirst.replacement = onSecond.replacement = &replacement;
    onFirst.newcomer = onSecond.newcomer = &newcomer;
    ASSERT_TRUE(loop.watch(first.near.get(), EPOLLIN, onFirst));
    ASSERT_TRUE(loop.watch(second.near.get(), EPOLLIN, onSecond));
    ASSERT_EQ(write(first.far.get(), "a", 1), 1);
    ASSERT_EQ(write(second.far.get(), "b", 1), 1);

    Turn();
    EXPECT_EQ(onFirst.events + onSecond.events, 1);
    EXPECT_EQ(newcomer.events, 0);
    Turn();
    EXPECT_EQ(newcomer.events, 1);
    EXPECT_EQ(safety.fired, 0);
}

TEST_F(EventLoopTest, TimersFireOnceWhenDueAndArmByOnlyBringsThemForward) {
    CountingTimer due;
    CountingTimer later;
    loop.addTimer(due);
    loop.addTimer(later);
    const auto now = EventLoop::Clock::now();
    loop.arm(later, now + kSafety * 2);
    loop.armBy(later, now + kSafety * 3);
    EXPECT_EQ(later.due(), now + kSafety * 2);
    loop.arm(due, now + std::chrono::milliseconds(20));
    loop.armBy(due, now);
    EXPECT_EQ(due.due(), now);

    Turn();  // the first turn comes at once
    EXPECT_EQ(due.fired, 1);
    EXPECT_FALSE(due.armed());
    EXPECT_EQ(later.fired, 0);
    EXPECT_TRUE(later.armed());

    loop.arm(due, EventLoop::Clock::now() + std::chrono::milliseconds(20));
    for (int turn = 0; turn < kMostTurns && due.fired < 2; ++turn) Turn();
    EXPECT_EQ(due.fired, 2);
    EXPECT_EQ(safety.fired, 0);
}

TEST_F(EventLoopTest, AWakeUpFromAnotherThreadEndsTheWaitAndTellsTheOwner) {
    Turn();  // the first turn comes at once
    std::thread waker([this] { loop.wake(); });
    for (int turn = 0; turn < kMostTurns && owner.wakes == 0 && safety.fired == 0; ++turn) Turn();
    waker.join();
    EXPECT_EQ(owner.wakes, 1);
    EXPECT_EQ(safety.fired, 0);
}

TEST_F(EventLoopTest, WorkLeftAtATurnsEndMakesTheNextWaitReturnAtOnce) {
    owner.workLeftTurns = 3;
    for (int turn = 0; turn < 4; ++turn) Turn();
    EXPECT_EQ(owner.workLeftTurns, -1);
    EXPECT_EQ(safety.fired, 0) << "a turn waited although work was left";
}

}  // namespace
}  // namespace kytest
