#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

#include "platform/common/thread_priority.hpp"

namespace pellimar {
namespace {

int niceOf(pid_t thread) {
    errno = 0;
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
}

// Each case on a thread of its own: the priority stays with the thread that was raised.
template <typename F>
void onNewThread(F body) {
    std::thread([&] { body(static_cast<pid_t>(::syscall(SYS_gettid))); }).join();
}

TEST(ThreadPriority, RaisesOnlyTheCallingThreadAndWhatItStartsNeverLowersIt) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "raising a priority needs root or a nice allowance";
    }
    const int before = niceOf(static_cast<pid_t>(::syscall(SYS_gettid)));
    onNewThread([&](pid_t self) {
        EXPECT_EQ(raiseThreadPriority(kAudioThreadNice), 0);
        EXPECT_EQ(niceOf(self), kAudioThreadNice);
        int started = 0;
        std::thread([&] { started = niceOf(static_cast<pid_t>(::syscall(SYS_gettid))); }).join();
        EXPECT_EQ(started, kAudioThreadNice);
        // A thread already above the level asked for keeps its priority.
        ASSERT_EQ(::setpriority(PRIO_PROCESS, static_cast<id_t>(self), -15), 0);
        EXPECT_EQ(raiseThreadPriority(kAudioThreadNice), 0);
        EXPECT_EQ(niceOf(self), -15);
    });
    EXPECT_EQ(niceOf(static_cast<pid_t>(::syscall(SYS_gettid))), before);
}

}  // namespace
}  // namespace pellimar
