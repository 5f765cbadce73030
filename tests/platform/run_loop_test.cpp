#include "platform/run_loop/run_loop.hpp"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using pellimar::RunLoop;

TEST(RunLoop, PostFromAnotherThreadRunsOnTheLoop) {
    RunLoop loop;
    std::thread::id ranOn;
    std::thread poster([&] { loop.post([&] { ranOn = std::this_thread::get_id(); }); });
    poster.join();
    loop.runFor(20ms);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(RunLoop, RepeatingTimerFiresUntilCancelledAndOnceTimerFiresOnce) {
    RunLoop loop;
    int repeats = 0, once = 0;
    auto repeating = loop.scheduleRepeating(1ms, [&] {
        if (++repeats == 3) {
            loop.stop();
        }
    });
    auto single = loop.scheduleOnce(0ms, [&] { ++once; });
    loop.run();
    EXPECT_EQ(repeats, 3);
    EXPECT_EQ(once, 1);
    repeating.reset();
    loop.runFor(10ms);
    EXPECT_EQ(repeats, 3);
    EXPECT_EQ(once, 1);
}

TEST(RunLoop, TimerMayDestroyItselfFromItsOwnCallback) {
    RunLoop loop;
    int fired = 0;
    std::unique_ptr<pellimar::Timer> timer;
    timer = loop.scheduleRepeating(1ms, [&] {
        ++fired;
        timer.reset();
    });
    loop.runFor(20ms);
    EXPECT_EQ(fired, 1);
}

TEST(RunLoop, ReadSourceFiresForEachReadinessAndStopsWhenDestroyed) {
    RunLoop loop;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string got;
    std::unique_ptr<pellimar::ReadSource> source = loop.watchReadable(fds[0], [&] {
        char buf[16];
        auto n = read(fds[0], buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
        }
    });
    ASSERT_EQ(write(fds[1], "ab", 2), 2);
    loop.runFor(10ms);
    ASSERT_EQ(write(fds[1], "c", 1), 1);
    loop.runFor(10ms);
    EXPECT_EQ(got, "abc");
    source.reset();
    ASSERT_EQ(write(fds[1], "d", 1), 1);
    loop.runFor(10ms);
    EXPECT_EQ(got, "abc");
    close(fds[0]);
    close(fds[1]);
}

TEST(RunLoop, SignalsArriveOnTheLoop) {
    RunLoop loop;
    int caught = 0;
    auto source = loop.watchSignals({SIGUSR1, SIGUSR2}, [&](int s) {
        caught = s;
        loop.stop();
    });
    kill(getpid(), SIGUSR2);
    loop.runFor(2s);
    EXPECT_EQ(caught, SIGUSR2);
}

TEST(RunLoop, PollingWaitStartedInsideAHandlerKeepsTheLoopServingOtherWork) {
    RunLoop loop;
    int attempts = 0, ticks = 0;
    std::optional<bool> outcome;
    std::unique_ptr<pellimar::Timer> wait;
    auto ticker = loop.scheduleRepeating(1ms, [&] { ++ticks; });
    // Started from a handler, as a tap wait is started from a socket read.
    loop.post([&] {
        EXPECT_TRUE(loop.insideHandler());
        wait = loop.pollUntil(
            1ms, 60s, [&] { return ++attempts == 5 && ticks > 0; },
            [&](bool ok) {
                EXPECT_EQ(attempts, 5);
                outcome = ok;
            });
        EXPECT_EQ(attempts, 0);  // nothing runs inside the starting call
    });
    loop.runUntil([&] { return outcome.has_value(); });
    EXPECT_EQ(outcome, std::optional<bool>(true));
    EXPECT_FALSE(loop.insideHandler());
}

TEST(RunLoop, PollingWaitGivesUpAfterItsTimeoutWithOneAttemptAtLeast) {
    RunLoop loop;
    int attempts = 0;
    std::optional<bool> outcome;
    auto wait = loop.pollUntil(
        1ms, 0ms, [&] { return ++attempts > 1000; }, [&](bool ok) { outcome = ok; });
    loop.runUntil([&] { return outcome.has_value(); });
    EXPECT_EQ(outcome, std::optional<bool>(false));
    EXPECT_EQ(attempts, 1);
}

TEST(RunLoop, CancelledPollingWaitNeverCallsDone) {
    RunLoop loop;
    bool called = false;
    int attempts = 0;
    std::unique_ptr<pellimar::Timer> wait;
    wait = loop.pollUntil(
        1ms, 60s,
        [&] {
            if (++attempts == 2) {
                wait.reset();  // may be destroyed from inside its own attempt
            }
            return false;
        },
        [&](bool) { called = true; });
    loop.runFor(30ms);
    EXPECT_EQ(attempts, 2);
    EXPECT_FALSE(called);
}

TEST(RunLoop, DoneMayDestroyItsOwnWait) {
    RunLoop loop;
    std::unique_ptr<pellimar::Timer> wait;
    bool done = false;
    wait = loop.pollUntil(
        1ms, 60s, [] { return true; },
        [&](bool) {
            wait.reset();
            done = true;
        });
    loop.runUntil([&] { return done; });
    EXPECT_TRUE(done);
}

TEST(RunLoopDeathTest, RunningTheLoopFromInsideItsOwnHandlerIsRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            RunLoop loop;
            loop.post([&] { loop.runFor(10ms); });
            loop.runFor(50ms);
        },
        "called from inside a handler of the same loop");
}
