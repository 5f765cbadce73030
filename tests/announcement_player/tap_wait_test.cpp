#include "announcement_player/tap_wait.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/announcement_player/sim_support.hpp"

namespace pellimar::announcement {
namespace {

using namespace std::chrono_literals;
using testing::SimMachine;
using testing::sim::WorldBuilder;

constexpr pid_t kPid = 31337;

class TapWaitTest : public ::testing::Test {
  protected:
    TapWaitTest() : machine(world()) {}
    static WorldBuilder world() {
        WorldBuilder b = WorldBuilder::defaultMachine();
        b.addProcess(4242, "com.example.other", true);
        return b;
    }
    audio::ObjectID me() { return machine.processesOf(kPid).front(); }
    audio::ObjectID other() { return machine.processesOf(4242).front(); }

    SimMachine machine;
    RunLoop loop;
    AnnouncementTapWait wait{*machine.system, loop, kPid};
};

TEST_F(TapWaitTest, OnlyASlotTapListingThisProcessIsAccepted) {
    ASSERT_TRUE(machine.control().addProcess(kPid, kBundleID, false));
    machine.addTap({me()}, "Some other tap");
    machine.addTap({other()}, "Pellimar application slot 1");
    machine.addTap({me()}, "pellimar application slot 3");
    int ticks = 0;
    auto ticker = loop.scheduleRepeating(5ms, [&] { ++ticks; });
    auto result = wait.waitBlocking();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(), kTapTimedOut);
    EXPECT_GT(ticks, 10);  // the loop kept running during the wait
    EXPECT_FALSE(wait.binding());

    const auto tap = machine.addTap({other(), me()}, "Pellimar application slot 3");
    ASSERT_TRUE(wait.waitBlocking());
    EXPECT_EQ(wait.binding(), (AnnouncementTapBinding{me(), tap}));
}

TEST_F(TapWaitTest, ATapCreatedDuringTheWaitIsFoundAndALostOneIsSearchedAgain) {
    ASSERT_TRUE(machine.control().addProcess(kPid, kBundleID, false));
    auto creator = loop.scheduleOnce(500ms, [&] { machine.addTap({me()}); });
    ASSERT_TRUE(wait.waitBlocking());
    const auto first = wait.binding()->tap;

    // Remembered and still attached: answered without a search (the lists are not read).
    testing::sim::Fault fault;
    fault.operation = testing::sim::FaultOperation::sizeQuery;
    fault.object = audio::kAudioObjectSystemObject;
    fault.selector = audio::kAudioHardwarePropertyTapList;
    fault.count = -1;
    ASSERT_TRUE(machine.control().injectFault(fault));
    ASSERT_TRUE(wait.waitBlocking());
    ASSERT_TRUE(machine.control().clearFaults());

    machine.removeTap(first);
    const auto second = machine.addTap({me()}, "Pellimar application slot 4");
    ASSERT_TRUE(wait.waitBlocking());
    EXPECT_EQ(wait.binding()->tap, second);
}

TEST_F(TapWaitTest, AWaitStartedInsideAHandlerLeavesTheLoopServing) {
    ASSERT_TRUE(machine.control().addProcess(kPid, kBundleID, false));
    std::optional<PlayerResult<void>> outcome;
    std::unique_ptr<Timer> handle;
    int served = 0;
    loop.post([&] {
        handle = wait.wait([&](PlayerResult<void> r) { outcome.emplace(std::move(r)); });
        loop.post([&] {
            ++served;
            machine.addTap({me()});
        });
    });
    ASSERT_TRUE(testing::runLoopUntil(loop, [&] { return outcome.has_value(); }));
    EXPECT_TRUE(*outcome);
    EXPECT_EQ(served, 1);
}

}  // namespace
}  // namespace pellimar::announcement
