// The pellimar-audio-sim command-line tool against a world that programs also use.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "tests/platform/audio_system/temp_world.hpp"

namespace pellimar::audio {
namespace {

struct Run {
    int status = -1;
    std::string out;
};

Run tool(const testing::TempDir& dir, const std::string& args) {
    std::string command = "PELLIMAR_AUDIO_SYSTEM='" + dir.world() +
                          "' '" PELLIMAR_BIN_DIR "/pellimar-audio-sim' " + args + " 2>&1";
    Run run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
        run.out.append(buffer, n);
    }
    int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

ObjectID idFrom(const Run& run) {
    return ObjectID(std::stoul(run.out));
}

TEST(SimTool, ShowAddAndRemove) {
    testing::TempDir dir;
    auto show = tool(dir, "show");
    ASSERT_EQ(show.status, 0) << show.out;
    EXPECT_NE(show.out.find("Built-in Speakers"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("Line In"), std::string::npos);

    auto added = tool(dir, "add-process --pid 4242 --bundle-id com.apple.Safari --running");
    ASSERT_EQ(added.status, 0) << added.out;
    ObjectID safari = idFrom(added);
    auto system = sim::SimAudioSystem::open(dir.world()).value();
    std::optional<std::string> bundle;
    ASSERT_EQ(system->getStringProperty(safari, {kAudioProcessPropertyBundleID}, bundle), 0);
    EXPECT_EQ(bundle, "com.apple.Safari");
    EXPECT_NE(tool(dir, "show").out.find("pid 4242  com.apple.Safari  running"), std::string::npos);

    EXPECT_EQ(tool(dir, "set-running " + std::to_string(safari) + " false").status, 0);
    std::uint32_t running = 1, size = 4;
    ASSERT_EQ(system->getPropertyData(safari, {kAudioProcessPropertyIsRunning}, 0, nullptr, size,
                                      &running),
              0);
    EXPECT_EQ(running, 0u);

    auto device = tool(dir,
                       "add-device --name 'USB Mic' --uid usb-mic --inputs 1 --source 1=Front "
                       "--source 2=Rear --current-source 2");
    ASSERT_EQ(device.status, 0) << device.out;
    auto world = sim::WorldControl(dir.world()).read();
    const auto* mic = world->findDeviceByUID("usb-mic");
    ASSERT_NE(mic, nullptr);
    EXPECT_EQ(mic->id, idFrom(device));
    EXPECT_EQ(mic->channels(sim::StreamScope::input), 1u);
    EXPECT_EQ(mic->currentSource, 2u);

    EXPECT_EQ(tool(dir, "remove-process " + std::to_string(safari)).status, 0);
    EXPECT_NE(tool(dir, "remove-process " + std::to_string(safari)).status, 0);
    std::uint32_t listSize = 0;
    ASSERT_EQ(system->getPropertyDataSize(1, {kAudioHardwarePropertyProcessObjectList}, 0, nullptr,
                                          listSize),
              0);
    EXPECT_EQ(listSize, 0u);
}

TEST(SimTool, HostileArgumentsAndWorldsAreRefusedCleanly) {
    testing::TempDir dir;
    const std::string notUtf8 = "\"$(printf '\\377\\376')\"";
    auto bad = tool(dir, "add-process --pid 5 --bundle-id " + notUtf8);
    EXPECT_EQ(bad.status, 2) << bad.out;
    EXPECT_NE(bad.out.find("UTF-8"), std::string::npos) << bad.out;
    EXPECT_EQ(tool(dir, "add-device --name " + notUtf8 + " --uid u").status, 2);
    for (const char* rate : {"nan", "inf", "-inf", "0", "-48000"}) {
        EXPECT_EQ(tool(dir, std::string("add-device --name n --uid u --rate ") + rate).status, 2)
            << rate;
    }
    ASSERT_EQ(tool(dir, "show").status, 0);
    EXPECT_TRUE(sim::WorldControl(dir.world()).read());

    // A directory where the world should be: an error, not an abort.
    std::filesystem::remove(dir.world());
    std::filesystem::create_directory(dir.world());
    auto reset = tool(dir, "reset");
    EXPECT_EQ(reset.status, 1) << reset.out;
    EXPECT_NE(reset.out.find(dir.world()), std::string::npos) << reset.out;
}

TEST(SimTool, RefusesPidsNoProcessCanHave) {
    testing::TempDir dir;
    for (const char* pid : {"-1", "0", "4194305", "2147483647", "-2147483648"}) {
        auto refused = tool(dir, std::string("add-process --pid ") + pid + " --bundle-id x");
        EXPECT_EQ(refused.status, 2) << pid << "\n" << refused.out;
        EXPECT_NE(refused.out.find(std::string("pid ") + pid), std::string::npos) << refused.out;
    }
    // The smallest and the largest pid the kernel can hand out are taken, and only they.
    EXPECT_EQ(tool(dir, "add-process --pid 1").status, 0);
    EXPECT_EQ(tool(dir, "add-process --pid 4194304").status, 0);
    EXPECT_EQ(sim::WorldControl(dir.world()).read()->processes.size(), 2u);
}

TEST(SimTool, InjectFaultAndReset) {
    testing::TempDir dir;
    ObjectID safari = idFrom(tool(dir, "add-process --pid 1 --bundle-id com.apple.Safari"));
    auto fault = tool(dir, "inject-fault --op read --object " + std::to_string(safari) +
                               " --selector ppid --status '!obj' --count 2");
    ASSERT_EQ(fault.status, 0) << fault.out;
    auto system = sim::SimAudioSystem::open(dir.world()).value();
    std::int32_t pid = 0;
    for (Status expected : {kAudioHardwareBadObjectError, kAudioHardwareBadObjectError, 0}) {
        std::uint32_t size = 4;
        EXPECT_EQ(
            system->getPropertyData(safari, {kAudioProcessPropertyPID}, 0, nullptr, size, &pid),
            expected);
    }
    ASSERT_EQ(tool(dir, "inject-fault --op sizeQuery --status -50 --always").status, 0);
    std::uint32_t size = 0;
    EXPECT_EQ(system->getPropertyDataSize(1, {kAudioHardwarePropertyDevices}, 0, nullptr, size),
              kAudio_ParamError);

    auto before = sim::WorldControl(dir.world()).read();
    ASSERT_EQ(tool(dir, "reset").status, 0);
    auto after = sim::WorldControl(dir.world()).read();
    EXPECT_TRUE(after->processes.empty());
    EXPECT_TRUE(after->faults.empty());
    EXPECT_EQ(after->devices.size(), 3u);
    EXPECT_GE(after->devices.front().id, before->nextObjectID);  // IDs are never reused

    // A corrupted world can be reset, keeping its ID counter.
    { std::ofstream(dir.world()) << "{\"nextObjectID\": 5000, \"devices\": [oops"; }
    EXPECT_EQ(tool(dir, "show").status, 1);
    ASSERT_EQ(tool(dir, "reset").status, 0);
    auto repaired = sim::WorldControl(dir.world()).read();
    ASSERT_TRUE(repaired) << repaired.error();
    EXPECT_EQ(repaired->devices.front().id, 5000u);

    EXPECT_EQ(tool(dir, "inject-fault --op sometimes --status '!obj'").status, 2);
    EXPECT_EQ(tool(dir, "frobnicate").status, 2);
    EXPECT_EQ(tool(dir, "add-process --bundle-id x").status, 2);
}

TEST(SimTool, AddsDevicesWithAMachinesVariety) {
    testing::TempDir dir;
    auto added = tool(dir,
                      "add-device --name 'Studio DAC' --uid dac --transport 'usb ' --rates "
                      "44100,48000,88200-192000 "
                      "--output-stream '2:48000:i24;virtual=2:48000;formats=2:48000/44100-192000:"
                      "i24,4:48000:i16,2:48000:ac-3' "
                      "--output-stream 6:48000 --input-stream 1:48000:i16 "
                      "--source 1=Front --source 2 --current-source none");
    ASSERT_EQ(added.status, 0) << added.out;
    auto world = sim::WorldControl(dir.world()).read();
    ASSERT_TRUE(world);
    const auto* dac = world->findDevice(idFrom(added));
    ASSERT_NE(dac, nullptr);
    EXPECT_EQ(dac->transportType, kAudioDeviceTransportTypeUSB);
    ASSERT_EQ(dac->availableRates.size(), 3u);
    EXPECT_EQ(dac->availableRates[2].mMaximum, 192000.0);
    ASSERT_EQ(dac->streams.size(), 3u);
    EXPECT_EQ(dac->streams[0].scope, sim::StreamScope::input);
    const auto& first = dac->streams[1];
    EXPECT_EQ(first.physical.mBitsPerChannel, 24u);
    EXPECT_EQ(first.virtualFormat.mFormatFlags & kAudioFormatFlagIsFloat, kAudioFormatFlagIsFloat);
    ASSERT_EQ(first.availablePhysical.size(), 3u);
    EXPECT_EQ(first.availablePhysical[0].mSampleRateRange.mMinimum, 44100.0);
    EXPECT_EQ(first.availablePhysical[0].mSampleRateRange.mMaximum, 192000.0);
    EXPECT_EQ(first.availablePhysical[2].mFormat.mFormatID, fourCharCode("ac-3"));
    EXPECT_EQ(first.virtualFormats().size(), 3u);
    EXPECT_EQ(dac->channels(sim::StreamScope::output), 8u);
    EXPECT_EQ(dac->dataSources.size(), 2u);
    EXPECT_FALSE(dac->dataSources[1].name.has_value());
    EXPECT_FALSE(dac->currentSource.has_value());

    auto nameless = tool(dir, "add-device --no-uid --no-name --outputs 2 --rate 44100");
    ASSERT_EQ(nameless.status, 0) << nameless.out;
    auto json = tool(dir, "show --json " + std::to_string(idFrom(nameless)));
    ASSERT_EQ(json.status, 0) << json.out;
    auto device = nlohmann::json::parse(json.out);
    EXPECT_TRUE(device["uid"].is_null());
    EXPECT_TRUE(device["name"].is_null());
    EXPECT_EQ(device["nominalSampleRate"], 44100.0);
    EXPECT_EQ(device["streams"][0]["physicalFormat"]["sampleRate"], 44100.0);

    // Numbers the file cannot hold, and rates the device would not run at, are refused.
    for (const char* bad : {"--rate nan", "--rate inf", "--rate -1", "--rates 44100,nan",
                            "--rate 22050", "--output-stream 2:nan", "--output-stream 2:44100"}) {
        auto refused = tool(dir, std::string("add-device --name X --uid x --outputs 2 ") + bad);
        EXPECT_EQ(refused.status, 2) << bad << "\n" << refused.out;
    }
    EXPECT_EQ(sim::WorldControl(dir.world()).read()->findDeviceByUID("x"), nullptr);
    EXPECT_EQ(tool(dir, "show --json 999999").status, 1);
}

TEST(SimTool, SetsFormatsSourcesRatesAndDefaultsLikeThePlatform) {
    testing::TempDir dir;
    auto added = tool(dir,
                      "add-device --name Mic --uid mic --inputs 2 --outputs 2 --source 1=A "
                      "--source 2=B");
    ASSERT_EQ(added.status, 0) << added.out;
    const ObjectID mic = idFrom(added);
    auto world = sim::WorldControl(dir.world()).read();
    const ObjectID output = world->findDevice(mic)->streams[1].id;

    EXPECT_EQ(tool(dir, "set-source " + std::to_string(mic) + " 2").status, 0);
    auto refused = tool(dir, "set-source " + std::to_string(mic) + " 9");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("'nope'"), std::string::npos) << refused.out;
    EXPECT_EQ(tool(dir, "set-format " + std::to_string(output) + " physical 2:44100").status, 0);
    EXPECT_EQ(tool(dir, "set-format " + std::to_string(output) + " physical 2:44100:i16").status,
              1);
    EXPECT_EQ(tool(dir, "set-rate " + std::to_string(mic) + " 96000").status, 0);
    EXPECT_EQ(tool(dir, "set-rate " + std::to_string(mic) + " nan").status, 2);
    EXPECT_EQ(tool(dir, "set-default output " + std::to_string(mic)).status, 0);
    EXPECT_EQ(tool(dir, "set-default sideways " + std::to_string(mic)).status, 2);

    world = sim::WorldControl(dir.world()).read();
    const auto* device = world->findDevice(mic);
    EXPECT_EQ(device->currentSource, 2u);
    EXPECT_EQ(device->nominalRate, 96000.0);
    EXPECT_EQ(device->streams[1].physical.mSampleRate, 96000.0);
    EXPECT_EQ(world->defaultOutput, mic);
}

TEST(SimTool, SeedsAggregates) {
    testing::TempDir dir;
    auto created = tool(dir,
                        "add-aggregate --composition '{\"name\":\"Fabric\",\"uid\":\"fab\","
                        "\"stacked\":false,\"subdevices\":[{\"uid\":\"BuiltInSpeakerDevice\"},"
                        "{\"uid\":\"USBAudioInterface-8x8\"}]}'");
    ASSERT_EQ(created.status, 0) << created.out;
    auto seeded = tool(dir,
                       "add-aggregate --uid odd --outputs 4 --composition "
                       "'{\"stacked\":true,\"subdevices\":\"none\"}'");
    ASSERT_EQ(seeded.status, 0) << seeded.out;
    auto world = sim::WorldControl(dir.world()).read();
    const auto* fabric = world->findDevice(idFrom(created));
    EXPECT_EQ(fabric->channels(sim::StreamScope::output), 10u);
    EXPECT_EQ((*fabric->composition)["stacked"], 0);
    const auto* odd = world->findDeviceByUID("odd");
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(odd->channels(sim::StreamScope::output), 4u);
    EXPECT_EQ((*odd->composition)["stacked"], true);  // kept exactly as written
    EXPECT_EQ(tool(dir, "add-aggregate --composition '[1'").status, 2);
}

TEST(SimTool, FaultsWithSkipScopeAndElement) {
    testing::TempDir dir;
    ASSERT_EQ(tool(dir,
                   "inject-fault --op read --selector slay --scope outp --element 0 "
                   "--status '!dev' --skip 3 --always")
                  .status,
              0);
    auto world = sim::WorldControl(dir.world()).read();
    ASSERT_EQ(world->faults.size(), 1u);
    const auto& fault = world->faults[0];
    EXPECT_EQ(fault.scope, kAudioObjectPropertyScopeOutput);
    EXPECT_EQ(fault.element, 0u);
    EXPECT_EQ(fault.skip, 3);
    EXPECT_EQ(fault.count, -1);
    EXPECT_EQ(tool(dir, "inject-fault --op read --status '!dev' --skip -1").status, 2);
    EXPECT_EQ(tool(dir, "add-delay --effect aggregateChannels --reads 3 --channels 2").status, 0);
    EXPECT_EQ(sim::WorldControl(dir.world()).read()->delays.at(0).channels, 2u);
}

}  // namespace
}  // namespace pellimar::audio
