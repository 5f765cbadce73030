#include "announcement_player/output_device.hpp"

#include <gtest/gtest.h>

#include "tests/announcement_player/sim_support.hpp"
#include "tests/platform/device_queries/device_recording_queue.hpp"

namespace pellimar::announcement {
namespace {

using testing::DeviceRecordingQueue;
using testing::SimMachine;
using testing::sim::WorldBuilder;

std::string choose(WorldBuilder world, DeviceRecordingQueue& queue) {
    SimMachine machine(std::move(world));
    ::testing::internal::CaptureStderr();
    preferStereoOutputDevice(*machine.system, queue);
    return ::testing::internal::GetCapturedStderr();
}

TEST(OutputDevicePreference, AStereoDefaultStaysAndOtherwiseASpeakerIsPreferred) {
    DeviceRecordingQueue queue;
    EXPECT_EQ(choose(WorldBuilder::defaultMachine(), queue), "");
    EXPECT_TRUE(queue.devices.empty());

    WorldBuilder world;
    const auto wide = world.addOutputDevice("Eight", "uid-8", 8);
    world.addOutputDevice("Headphones", "uid-phones", 2);
    const auto speakers = world.addOutputDevice("Studio SPEAKERS", "uid-speakers", 2);
    world.setDefaultOutput(wide);
    EXPECT_EQ(choose(world, queue), "[announcement-player] Using output device " +
                                        std::to_string(speakers) + " (Studio SPEAKERS)\n");
    EXPECT_EQ(queue.devices, std::vector<std::string>{"uid-speakers"});
}

TEST(OutputDevicePreference, FallsBackToTheFirstStereoDeviceThenToTheDefault) {
    WorldBuilder world;
    const auto wide = world.addOutputDevice("Eight", "uid-8", 8);
    const auto phones = world.addOutputDevice("Headphones", "uid-phones", 2);
    world.addOutputDevice("Line Out", "uid-line", 2);
    world.setDefaultOutput(wide);
    DeviceRecordingQueue queue;
    EXPECT_EQ(choose(world, queue), "[announcement-player] Using output device " +
                                        std::to_string(phones) + " (Headphones)\n");

    WorldBuilder noStereo;
    const auto only = noStereo.addOutputDevice("Eight", "uid-8", 8);
    noStereo.setDefaultOutput(only);
    DeviceRecordingQueue second;
    second.status = audio::kAudioQueueErr_InvalidDevice;
    EXPECT_EQ(choose(noStereo, second),
              "[announcement-player] AudioQueue device select status -66680\n");
    EXPECT_EQ(second.devices, std::vector<std::string>{"uid-8"});

    WorldBuilder nothing;
    nothing.addOutputDevice("Eight", "uid-8", 8);
    DeviceRecordingQueue third;
    EXPECT_EQ(choose(nothing, third), "");
    EXPECT_TRUE(third.devices.empty());
}

TEST(OutputDevicePreference, AnUnreadableStreamConfigurationIsNoCandidate) {
    WorldBuilder world;
    const auto wide = world.addOutputDevice("Eight", "uid-8", 8);
    const auto broken = world.addOutputDevice("Broken Speakers", "uid-broken", 2);
    world.addOutputDevice("Line Out", "uid-line", 2);
    world.setDefaultOutput(wide);
    testing::sim::Fault fault;
    fault.operation = testing::sim::FaultOperation::read;
    fault.object = broken;
    fault.selector = audio::kAudioDevicePropertyStreamConfiguration;
    fault.count = -1;
    world.addFault(fault);
    DeviceRecordingQueue queue;
    choose(world, queue);
    EXPECT_EQ(queue.devices, std::vector<std::string>{"uid-line"});
}

}  // namespace
}  // namespace pellimar::announcement
