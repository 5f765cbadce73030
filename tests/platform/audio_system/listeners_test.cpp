// Property listeners: delivered on the caller's loop when a value really changed, whichever
// process changed it.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "tests/platform/audio_system/temp_world.hpp"

namespace pellimar::audio {
namespace {

using testing::TempDir;

const AudioObjectPropertyAddress kProcesses{kAudioHardwarePropertyProcessObjectList};
const AudioObjectPropertyAddress kTaps{kAudioHardwarePropertyTapList};

struct Counter {
    int calls = 0;
    ObjectID object = 0;
    std::vector<AudioObjectPropertyAddress> addresses;
    PropertyListener listener() {
        return [this](ObjectID o, const std::vector<AudioObjectPropertyAddress>& a) {
            ++calls;
            object = o;
            addresses = a;
        };
    }
};

// Runs the loop until the predicate holds (generous limit, for loaded machines).
template <typename Predicate>
bool runUntil(asio::io_context& loop, Predicate predicate) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!predicate() && std::chrono::steady_clock::now() < deadline) {
        loop.restart();
        loop.run_for(std::chrono::milliseconds(10));
    }
    return predicate();
}

void inAnotherProcess(const std::function<void()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        body();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

struct ListenerWorld {
    TempDir dir;
    asio::io_context loop;
    std::unique_ptr<sim::SimAudioSystem> system;
    Counter processes, taps;
    ListenerID processesID = 0, tapsID = 0;

    ListenerWorld() {
        EXPECT_TRUE(sim::WorldBuilder::defaultMachine().write(dir.world()));
        system = sim::SimAudioSystem::open(dir.world()).value();
        EXPECT_EQ(
            system->addPropertyListener(1, kProcesses, loop, processes.listener(), processesID), 0);
        EXPECT_EQ(system->addPropertyListener(1, kTaps, loop, taps.listener(), tapsID), 0);
    }

    // Makes a tap-list change and waits until its listener ran, so everything the loop had to
    // deliver before it has been delivered.
    void sync() {
        int before = taps.calls;
        inAnotherProcess([&] {
            ObjectID tap = 0;
            sim::SimAudioSystem::open(dir.world()).value()->createProcessTap(TapDescription{}, tap);
        });
        ASSERT_TRUE(runUntil(loop, [&] { return taps.calls > before; }));
    }
};

TEST(SimListeners, FireAcrossProcessesOnlyForTheChangedProperty) {
    ListenerWorld w;
    inAnotherProcess(
        [&] { (void)sim::WorldControl(w.dir.world()).addProcess(4242, "com.apple.Music", true); });
    ASSERT_TRUE(runUntil(w.loop, [&] { return w.processes.calls > 0; }));
    EXPECT_EQ(w.processes.calls, 1);
    EXPECT_EQ(w.processes.object, kAudioObjectSystemObject);
    ASSERT_EQ(w.processes.addresses.size(), 1u);
    EXPECT_EQ(w.processes.addresses[0], kProcesses);
    w.sync();
    EXPECT_EQ(w.processes.calls, 1);
    EXPECT_EQ(w.taps.calls, 1);
}

TEST(SimListeners, HandEditsRightAfterAReadAreDelivered) {
    ListenerWorld w;
    for (int round = 0; round < 10; ++round) {
        // A read just now: the process would trust its cache for a while, but not for an event.
        std::uint32_t size = 0;
        ASSERT_EQ(w.system->getPropertyDataSize(1, kProcesses, 0, nullptr, size), 0);
        auto world = sim::WorldControl(w.dir.world()).read();
        ASSERT_TRUE(world);
        sim::Process p;
        p.id = world->allocateID();
        p.pid = 5000 + round;
        world->processes.push_back(p);
        { std::ofstream(w.dir.file("edit")) << sim::serializeWorld(*world); }
        std::filesystem::rename(w.dir.file("edit"), w.dir.world());
        int before = w.processes.calls;
        ASSERT_TRUE(runUntil(w.loop, [&] { return w.processes.calls > before; }))
            << "round " << round;
    }
}

TEST(SimListeners, NoOpChangesDoNotFire) {
    ListenerWorld w;
    // A counted fault that fires rewrites the file; the process list stays as it was.
    sim::Fault fault;
    fault.operation = sim::FaultOperation::read;
    fault.selector = kAudioDevicePropertyNominalSampleRate;
    fault.count = 2;
    ASSERT_TRUE(sim::WorldControl(w.dir.world()).injectFault(fault));
    double rate = 0;
    std::uint32_t size = 8;
    EXPECT_NE(w.system->getPropertyData(2, {kAudioDevicePropertyNominalSampleRate}, 0, nullptr,
                                        size, &rate),
              0);
    // Writing what is already there changes nothing.
    ObjectID tap = 0;
    ASSERT_EQ(w.system->createProcessTap(TapDescription{}, tap), 0);
    ASSERT_TRUE(runUntil(w.loop, [&] { return w.taps.calls == 1; }));
    Counter description;
    ListenerID descriptionID = 0;
    ASSERT_EQ(w.system->addPropertyListener(tap, {kAudioTapPropertyDescription}, w.loop,
                                            description.listener(), descriptionID),
              0);
    EXPECT_EQ(w.system->setTapDescription(tap, {kAudioTapPropertyDescription}, TapDescription{}),
              0);
    w.sync();
    EXPECT_EQ(w.processes.calls, 0);
    EXPECT_EQ(description.calls, 0);

    // A real change of the description does fire, on our own process's write too.
    TapDescription aimed;
    aimed.processes = {77};
    ASSERT_EQ(w.system->setTapDescription(tap, {kAudioTapPropertyDescription}, aimed), 0);
    ASSERT_TRUE(runUntil(w.loop, [&] { return description.calls == 1; }));
    EXPECT_EQ(description.object, tap);
    EXPECT_EQ(w.processes.calls, 0);
}

TEST(SimListeners, RemovedListenerStaysQuiet) {
    ListenerWorld w;
    EXPECT_EQ(w.system->removePropertyListener(w.processesID), 0);
    EXPECT_NE(w.system->removePropertyListener(w.processesID), 0);
    ASSERT_TRUE(sim::WorldControl(w.dir.world()).addProcess(1, "a", true));
    w.sync();
    EXPECT_EQ(w.processes.calls, 0);

    // A listener may remove itself while being called.
    Counter once;
    ListenerID onceID = 0;
    ASSERT_EQ(w.system->addPropertyListener(
                  1, kProcesses, w.loop,
                  [&](ObjectID, const std::vector<AudioObjectPropertyAddress>&) {
                      ++once.calls;
                      w.system->removePropertyListener(onceID);
                  },
                  onceID),
              0);
    ASSERT_TRUE(sim::WorldControl(w.dir.world()).addProcess(2, "b", true));
    ASSERT_TRUE(runUntil(w.loop, [&] { return once.calls == 1; }));
    ASSERT_TRUE(sim::WorldControl(w.dir.world()).addProcess(3, "c", true));
    w.sync();
    EXPECT_EQ(once.calls, 1);
}

}  // namespace
}  // namespace pellimar::audio
