// Injected faults and delayed effects, stored in the world so that they reach every process.

#include <gtest/gtest.h>

#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "tests/platform/audio_system/temp_world.hpp"

namespace pellimar::audio {
namespace {

using testing::TempDir;

struct FaultWorld {
    TempDir dir;
    ObjectID safari = 0;
    ObjectID chrome = 0;
    ObjectID usb = 0;
    std::unique_ptr<sim::SimAudioSystem> system;
    std::unique_ptr<sim::SimAudioSystem> other;  // a second process's view

    FaultWorld() {
        sim::WorldBuilder builder;
        safari = builder.addProcess(10, "com.apple.Safari", true);
        chrome = builder.addProcess(11, "com.google.Chrome", false);
        usb = builder.addDevice(sim::Device::make("USB", "usb", 2, 8));
        builder.device(usb).dataSources = {{1, "A"}, {2, "B"}};
        builder.device(usb).currentSource = 1;
        builder.device(usb).streams[1].availablePhysical.push_back(
            {sim::floatFormat(2, 48000), {44100, 48000}});
        EXPECT_TRUE(builder.write(dir.world()));
        system = sim::SimAudioSystem::open(dir.world()).value();
        other = sim::SimAudioSystem::open(dir.world()).value();
    }

    Status readPID(AudioSystem& s, ObjectID process) {
        std::int32_t pid = 0;
        std::uint32_t size = 4;
        return s.getPropertyData(process, {kAudioProcessPropertyPID}, 0, nullptr, size, &pid);
    }

    ObjectID inject(sim::FaultOperation op, ObjectID object, Selector selector, Status status,
                    std::int32_t count) {
        sim::Fault f;
        f.operation = op;
        f.object = object;
        f.selector = selector;
        f.status = status;
        f.count = count;
        auto id = sim::WorldControl(dir.world()).injectFault(f);
        EXPECT_TRUE(id);
        return id ? *id : 0;
    }

    std::uint32_t outputChannels(AudioSystem& s, ObjectID device) {
        AudioObjectPropertyAddress config{kAudioDevicePropertyStreamConfiguration,
                                          kAudioObjectPropertyScopeOutput};
        std::uint32_t size = 0;
        if (s.getPropertyDataSize(device, config, 0, nullptr, size) != 0) {
            return 0;
        }
        std::vector<std::uint8_t> buffer(size);
        if (s.getPropertyData(device, config, 0, nullptr, size, buffer.data()) != 0) {
            return 0;
        }
        auto* list = reinterpret_cast<AudioBufferList*>(buffer.data());
        std::uint32_t total = 0;
        for (std::uint32_t i = 0; i < list->mNumberBuffers; ++i) {
            total += list->mBuffers[i].mNumberChannels;
        }
        return total;
    }
};

TEST(SimFaults, OnceFiresForExactlyOneCallAcrossProcesses) {
    FaultWorld w;
    w.inject(sim::FaultOperation::read, w.safari, kAudioProcessPropertyPID,
             kAudioHardwareBadObjectError, 1);
    // Other objects and selectors are untouched.
    EXPECT_EQ(w.readPID(*w.system, w.chrome), 0);
    std::uint32_t running = 0, size = 4;
    EXPECT_EQ(w.system->getPropertyData(w.safari, {kAudioProcessPropertyIsRunning}, 0, nullptr,
                                        size, &running),
              0);
    EXPECT_EQ(w.readPID(*w.other, w.safari), kAudioHardwareBadObjectError);
    EXPECT_EQ(w.readPID(*w.system, w.safari), 0);
    EXPECT_EQ(w.readPID(*w.other, w.safari), 0);
    EXPECT_TRUE(sim::WorldControl(w.dir.world()).read()->faults.empty());
}

TEST(SimFaults, CountedAndPermanentFaults) {
    FaultWorld w;
    w.inject(sim::FaultOperation::read, 0, kAudioProcessPropertyBundleID, kAudio_ParamError, 3);
    std::optional<std::string> bundle;
    for (int i = 0; i < 3; ++i) {
        AudioSystem& s = i % 2 ? *w.other : *w.system;
        EXPECT_EQ(s.getStringProperty(i % 2 ? w.chrome : w.safari, {kAudioProcessPropertyBundleID},
                                      bundle),
                  kAudio_ParamError);
    }
    EXPECT_EQ(w.system->getStringProperty(w.safari, {kAudioProcessPropertyBundleID}, bundle), 0);
    EXPECT_EQ(bundle, "com.apple.Safari");

    auto always = w.inject(sim::FaultOperation::sizeQuery, 1, 0, kAudioHardwareNotRunningError, -1);
    for (int i = 0; i < 5; ++i) {
        std::uint32_t size = 0;
        EXPECT_EQ(
            w.system->getPropertyDataSize(1, {kAudioHardwarePropertyDevices}, 0, nullptr, size),
            kAudioHardwareNotRunningError);
    }
    auto stored = sim::WorldControl(w.dir.world()).read();
    ASSERT_EQ(stored->faults.size(), 1u);
    EXPECT_EQ(stored->faults[0].id, always);
    ASSERT_TRUE(sim::WorldControl(w.dir.world()).clearFaults());
    std::uint32_t size = 0;
    EXPECT_EQ(w.system->getPropertyDataSize(1, {kAudioHardwarePropertyDevices}, 0, nullptr, size),
              0);
}

TEST(SimFaults, EveryOperationCanFail) {
    FaultWorld w;
    w.inject(sim::FaultOperation::has, w.usb, kAudioDevicePropertyDeviceUID, 0x6e6f7065, 1);
    EXPECT_FALSE(w.system->hasProperty(w.usb, {kAudioDevicePropertyDeviceUID}));
    EXPECT_TRUE(w.system->hasProperty(w.usb, {kAudioDevicePropertyDeviceUID}));

    w.inject(sim::FaultOperation::create, 0, sim::kSimCreateProcessTap,
             kAudioHardwareIllegalOperationError, 1);
    ObjectID tap = 0;
    EXPECT_EQ(w.system->createProcessTap(TapDescription{}, tap),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(tap, 0u);
    ASSERT_EQ(w.system->createProcessTap(TapDescription{}, tap), 0);

    w.inject(sim::FaultOperation::create, 0, sim::kSimCreateAggregateDevice,
             kAudioHardwareUnspecifiedError, 2);
    Value description = {{"name", "Agg"}, {"uid", "agg"}, {"subdevices", {{{"uid", "usb"}}}}};
    ObjectID device = 0;
    EXPECT_NE(w.system->createAggregateDevice(description, device), 0);
    EXPECT_NE(w.other->createAggregateDevice(description, device), 0);
    ASSERT_EQ(w.system->createAggregateDevice(description, device), 0);

    w.inject(sim::FaultOperation::destroy, device, 0, kAudioHardwareBadDeviceError, 1);
    EXPECT_EQ(w.system->destroyAggregateDevice(device), kAudioHardwareBadDeviceError);
    EXPECT_EQ(w.system->destroyAggregateDevice(device), 0);
    w.inject(sim::FaultOperation::destroy, 0, sim::kSimDestroyProcessTap,
             kAudioHardwareBadObjectError, 1);
    EXPECT_EQ(w.system->destroyProcessTap(tap), kAudioHardwareBadObjectError);
    EXPECT_EQ(w.system->destroyProcessTap(tap), 0);

    w.inject(sim::FaultOperation::write, w.usb, kAudioDevicePropertyDataSource, kAudio_ParamError,
             1);
    AudioObjectPropertyAddress source{kAudioDevicePropertyDataSource,
                                      kAudioObjectPropertyScopeInput};
    std::uint32_t two = 2;
    EXPECT_EQ(w.system->setPropertyData(w.usb, source, 0, nullptr, 4, &two), kAudio_ParamError);
    EXPECT_EQ(w.system->setPropertyData(w.usb, source, 0, nullptr, 4, &two), 0);

    w.inject(sim::FaultOperation::write, 0, kAudioTapPropertyDescription,
             kAudioHardwareUnspecifiedError, 1);
    ASSERT_EQ(w.system->createProcessTap(TapDescription{}, tap), 0);
    TapDescription changed;
    changed.name = "renamed";
    EXPECT_EQ(w.system->setTapDescription(tap, {kAudioTapPropertyDescription}, changed),
              kAudioHardwareUnspecifiedError);
    EXPECT_EQ(w.system->setTapDescription(tap, {kAudioTapPropertyDescription}, changed), 0);
}

TEST(SimDelays, NewAggregateExposesChannelsAfterNReads) {
    FaultWorld w;
    sim::Delay delay;
    delay.effect = sim::DelayEffect::aggregateChannels;
    delay.uid = "org.pellimar.output-fabric";
    delay.reads = 3;
    ASSERT_TRUE(sim::WorldControl(w.dir.world()).addDelay(delay));

    Value other = {{"name", "Other"}, {"uid", "other"}, {"subdevices", {{{"uid", "usb"}}}}};
    ObjectID plain = 0;
    ASSERT_EQ(w.system->createAggregateDevice(other, plain), 0);
    EXPECT_EQ(w.outputChannels(*w.system, plain), 8u);  // the rule names another UID

    Value fabric = {{"name", "Fabric"},
                    {"uid", "org.pellimar.output-fabric"},
                    {"stacked", false},
                    {"subdevices", {{{"uid", "usb"}}}}};
    ObjectID device = 0;
    ASSERT_EQ(w.system->createAggregateDevice(fabric, device), 0);
    EXPECT_EQ(w.outputChannels(*w.system, device), 0u);
    EXPECT_EQ(w.outputChannels(*w.other, device), 0u);
    EXPECT_EQ(w.outputChannels(*w.system, device), 0u);
    EXPECT_EQ(w.outputChannels(*w.other, device), 8u);

    // Used up: the next fabric shows its channels at once.
    ASSERT_EQ(w.system->destroyAggregateDevice(device), 0);
    ASSERT_EQ(w.system->createAggregateDevice(fabric, device), 0);
    EXPECT_EQ(w.outputChannels(*w.system, device), 8u);
}

TEST(SimDelays, FormatAndSourceChangesCanLagOrNeverLand) {
    FaultWorld w;
    sim::Delay never;
    never.effect = sim::DelayEffect::streamFormat;
    never.reads = -1;
    ASSERT_TRUE(sim::WorldControl(w.dir.world()).addDelay(never));
    sim::Delay lag;
    lag.effect = sim::DelayEffect::dataSource;
    lag.object = w.usb;
    lag.reads = 2;
    ASSERT_TRUE(sim::WorldControl(w.dir.world()).addDelay(lag));

    std::uint32_t size = 0;
    AudioObjectPropertyAddress streams{kAudioDevicePropertyStreams,
                                       kAudioObjectPropertyScopeOutput};
    ObjectID stream = 0;
    size = 4;
    ASSERT_EQ(w.system->getPropertyData(w.usb, streams, 0, nullptr, size, &stream), 0);
    auto two = sim::floatFormat(2, 48000);
    ASSERT_EQ(w.system->setPropertyData(stream, {kAudioStreamPropertyPhysicalFormat}, 0, nullptr,
                                        sizeof two, &two),
              0);
    ASSERT_EQ(w.system->setPropertyData(stream, {kAudioStreamPropertyVirtualFormat}, 0, nullptr,
                                        sizeof two, &two),
              0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(w.outputChannels(*w.system, w.usb), 8u);
    }

    AudioObjectPropertyAddress source{kAudioDevicePropertyDataSource,
                                      kAudioObjectPropertyScopeInput};
    std::uint32_t wanted = 2, current = 0;
    ASSERT_EQ(w.system->setPropertyData(w.usb, source, 0, nullptr, 4, &wanted), 0);
    for (std::uint32_t expected : {1u, 1u, 2u, 2u}) {
        size = 4;
        ASSERT_EQ(w.other->getPropertyData(w.usb, source, 0, nullptr, size, &current), 0);
        EXPECT_EQ(current, expected);
    }
}

TEST(SimFaults, SkipLetsCallsPassAndScopeAndElementAimIt) {
    FaultWorld w;
    sim::Fault f;
    f.operation = sim::FaultOperation::read;
    f.object = w.usb;
    f.selector = kAudioDevicePropertyStreamConfiguration;
    f.scope = kAudioObjectPropertyScopeOutput;
    f.element = kAudioObjectPropertyElementMain;
    f.status = kAudioHardwareBadDeviceError;
    f.skip = 2;
    ASSERT_TRUE(sim::WorldControl(w.dir.world()).injectFault(f));

    auto read = [&](Scope scope, Element element) {
        std::vector<std::uint8_t> buffer(64);
        std::uint32_t size = std::uint32_t(buffer.size());
        return w.system->getPropertyData(w.usb,
                                         {kAudioDevicePropertyStreamConfiguration, scope, element},
                                         0, nullptr, size, buffer.data());
    };
    // Other scopes and elements never count.
    EXPECT_EQ(read(kAudioObjectPropertyScopeInput, kAudioObjectPropertyElementMain), 0);
    EXPECT_EQ(read(kAudioObjectPropertyScopeOutput, kAudioObjectPropertyElementWildcard), 0);
    // Two matching calls pass (one from each process), the third fails, then it is used up.
    EXPECT_EQ(read(kAudioObjectPropertyScopeOutput, kAudioObjectPropertyElementMain), 0);
    std::vector<std::uint8_t> buffer(64);
    std::uint32_t size = std::uint32_t(buffer.size());
    EXPECT_EQ(w.other->getPropertyData(
                  w.usb, {kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput},
                  0, nullptr, size, buffer.data()),
              0);
    EXPECT_EQ(read(kAudioObjectPropertyScopeOutput, kAudioObjectPropertyElementMain),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(read(kAudioObjectPropertyScopeOutput, kAudioObjectPropertyElementMain), 0);

    // An "always" fault with a skip fails every call after the first K.
    f.count = -1;
    f.skip = 1;
    f.scope = 0;
    f.element.reset();
    ASSERT_TRUE(sim::WorldControl(w.dir.world()).injectFault(f));
    EXPECT_EQ(read(kAudioObjectPropertyScopeInput, kAudioObjectPropertyElementMain), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(read(kAudioObjectPropertyScopeOutput, kAudioObjectPropertyElementWildcard),
                  kAudioHardwareBadDeviceError);
    }
    // The file keeps what the fault still has to do.
    auto world = sim::WorldControl(w.dir.world()).read();
    ASSERT_TRUE(world);
    ASSERT_EQ(world->faults.size(), 1u);
    EXPECT_EQ(world->faults[0].skip, 0);
    EXPECT_EQ(world->faults[0].count, -1);
}

TEST(SimDelays, ANewAggregateCanShowSomeOfItsChannelsFirst) {
    FaultWorld w;
    sim::Delay delay;
    delay.effect = sim::DelayEffect::aggregateChannels;
    delay.reads = 2;
    delay.channels = 5;
    ASSERT_TRUE(sim::WorldControl(w.dir.world()).addDelay(delay));
    Value fabric = {{"name", "Fabric"},
                    {"uid", "org.pellimar.output-fabric"},
                    {"subdevices", {{{"uid", "usb"}}, {{"uid", "usb"}}}}};
    ObjectID device = 0;
    ASSERT_EQ(w.system->createAggregateDevice(fabric, device), 0);
    EXPECT_EQ(w.outputChannels(*w.system, device), 5u);
    EXPECT_EQ(w.outputChannels(*w.other, device), 5u);
    EXPECT_EQ(w.outputChannels(*w.system, device), 16u);
    auto world = sim::WorldControl(w.dir.world()).read();
    EXPECT_EQ(world->findDeviceByUID("org.pellimar.output-fabric")->exposedChannels, 0u);
}

}  // namespace
}  // namespace pellimar::audio
