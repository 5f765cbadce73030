// Property reads and writes of the simulated audio system, as the programs see them.

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "tests/platform/audio_system/temp_world.hpp"

namespace pellimar::audio {
namespace {

using sim::SimAudioSystem;
using sim::WorldBuilder;
using testing::TempDir;

AudioObjectPropertyAddress address(Selector selector,
                                   Scope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

std::unique_ptr<SimAudioSystem> openWorld(const std::string& path) {
    auto system = SimAudioSystem::open(path);
    EXPECT_TRUE(system) << (system ? "" : system.error());
    return system ? std::move(*system) : nullptr;
}

std::vector<ObjectID> ids(AudioSystem& system, ObjectID object, Selector selector,
                          Scope scope = kAudioObjectPropertyScopeGlobal) {
    std::uint32_t size = 0;
    if (system.getPropertyDataSize(object, address(selector, scope), 0, nullptr, size) != 0) {
        return {};
    }
    std::vector<ObjectID> out(size / 4);
    std::uint32_t io = size;
    EXPECT_EQ(system.getPropertyData(object, address(selector, scope), 0, nullptr, io, out.data()),
              0);
    return out;
}

std::uint32_t channels(AudioSystem& system, ObjectID device, Scope scope) {
    std::uint32_t size = 0;
    if (system.getPropertyDataSize(device, address(kAudioDevicePropertyStreamConfiguration, scope),
                                   0, nullptr, size) != 0) {
        return 0;
    }
    std::vector<std::uint8_t> buffer(std::max<std::uint32_t>(size, 24));
    std::uint32_t io = std::uint32_t(buffer.size());
    if (system.getPropertyData(device, address(kAudioDevicePropertyStreamConfiguration, scope), 0,
                               nullptr, io, buffer.data()) != 0) {
        return 0;
    }
    auto* list = reinterpret_cast<AudioBufferList*>(buffer.data());
    std::uint32_t total = 0;
    for (std::uint32_t i = 0; i < list->mNumberBuffers; ++i) {
        total += list->mBuffers[i].mNumberChannels;
    }
    return total;
}

std::string str(AudioSystem& system, ObjectID object, Selector selector) {
    std::optional<std::string> out;
    EXPECT_EQ(system.getStringProperty(object, address(selector), out), 0);
    return out.value_or("<null>");
}

ObjectID deviceByUID(AudioSystem& system, const std::string& uid) {
    for (auto id : ids(system, kAudioObjectSystemObject, kAudioHardwarePropertyDevices)) {
        if (str(system, id, kAudioDevicePropertyDeviceUID) == uid) {
            return id;
        }
    }
    return 0;
}

TEST(SimAudioSystemDefaults, MissingWorldFileBecomesTheDefaultMachine) {
    TempDir dir;
    auto system = openWorld(dir.world());
    ASSERT_TRUE(system);
    EXPECT_TRUE(std::filesystem::exists(dir.world()));

    auto devices = ids(*system, kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_TRUE(
        ids(*system, kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList).empty());
    EXPECT_TRUE(ids(*system, kAudioObjectSystemObject, kAudioHardwarePropertyTapList).empty());

    ObjectID speakers = deviceByUID(*system, "BuiltInSpeakerDevice");
    ObjectID mic = deviceByUID(*system, "BuiltInMicrophoneDevice");
    ObjectID usb = deviceByUID(*system, "USBAudioInterface-8x8");
    EXPECT_EQ(channels(*system, speakers, kAudioObjectPropertyScopeOutput), 2u);
    EXPECT_EQ(channels(*system, speakers, kAudioObjectPropertyScopeInput), 0u);
    EXPECT_EQ(channels(*system, mic, kAudioObjectPropertyScopeInput), 1u);
    EXPECT_EQ(channels(*system, usb, kAudioObjectPropertyScopeInput), 8u);
    EXPECT_EQ(channels(*system, usb, kAudioObjectPropertyScopeOutput), 8u);

    for (auto selector : {kAudioHardwarePropertyDefaultOutputDevice,
                          kAudioHardwarePropertyDefaultSystemOutputDevice}) {
        ObjectID value = 0;
        std::uint32_t size = 4;
        EXPECT_EQ(system->getPropertyData(1, address(selector), 0, nullptr, size, &value), 0);
        EXPECT_EQ(value, speakers);
    }
    auto sources =
        ids(*system, mic, kAudioDevicePropertyDataSources, kAudioObjectPropertyScopeInput);
    ASSERT_EQ(sources.size(), 2u);
    std::optional<std::string> name;
    EXPECT_EQ(
        system->translateDataSourceName(mic,
                                        address(kAudioDevicePropertyDataSourceNameForIDCFString,
                                                kAudioObjectPropertyScopeInput),
                                        sources[1], name),
        0);
    EXPECT_EQ(name, "Line In");
    EXPECT_EQ(ids(*system, mic, kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeInput),
              std::vector<ObjectID>{sources[0]});
}

TEST(SimAudioSystemSizes, CountBytesLikeThePlatform) {
    TempDir dir;
    WorldBuilder world;
    auto speakers = world.addOutputDevice("Speakers", "spk", 2);
    auto usb = world.addDevice(sim::Device::make("USB", "usb", 4, 8));
    auto nameless = world.addOutputDevice("", "", 2);
    world.device(nameless).uidIsNull = true;
    world.device(nameless).nameIsNull = true;
    world.addProcess(100, "a", true);
    world.addProcess(101, "b", true);
    world.addProcess(102, std::nullopt, false);
    ASSERT_TRUE(world.write(dir.world()));
    auto system = openWorld(dir.world());

    std::uint32_t size = 0;
    EXPECT_EQ(system->getPropertyDataSize(1, address(kAudioHardwarePropertyProcessObjectList), 0,
                                          nullptr, size),
              0);
    EXPECT_EQ(size, 12u);
    // A buffer for fewer elements gets as many whole elements as fit.
    ObjectID two[2] = {};
    size = 11;
    EXPECT_EQ(system->getPropertyData(1, address(kAudioHardwarePropertyProcessObjectList), 0,
                                      nullptr, size, two),
              0);
    EXPECT_EQ(size, 8u);
    size = 3;
    EXPECT_EQ(system->getPropertyData(1, address(kAudioHardwarePropertyProcessObjectList), 0,
                                      nullptr, size, two),
              kAudioHardwareBadPropertySizeError);

    // Buffer lists: 8 bytes of header, 16 per buffer.
    EXPECT_EQ(
        system->getPropertyDataSize(
            usb, address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput),
            0, nullptr, size),
        0);
    EXPECT_EQ(size, audioBufferListSize(1));
    EXPECT_EQ(system->getPropertyDataSize(
                  speakers,
                  address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput),
                  0, nullptr, size),
              0);
    EXPECT_EQ(size, audioBufferListSize(0));

    auto streams = ids(*system, usb, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(ids(*system, usb, kAudioDevicePropertyStreams).size(), 2u);
    EXPECT_EQ(
        system->getPropertyDataSize(
            streams[0], address(kAudioStreamPropertyAvailablePhysicalFormats), 0, nullptr, size),
        0);
    EXPECT_EQ(size, 3 * 56u);
    EXPECT_EQ(system->getPropertyDataSize(streams[0], address(kAudioStreamPropertyVirtualFormat), 0,
                                          nullptr, size),
              0);
    EXPECT_EQ(size, 40u);
    EXPECT_EQ(system->getPropertyDataSize(
                  usb, address(kAudioDevicePropertyAvailableNominalSampleRates), 0, nullptr, size),
              0);
    EXPECT_EQ(size, 3 * 16u);
    // Reference values count as one reference.
    EXPECT_EQ(
        system->getPropertyDataSize(usb, address(kAudioDevicePropertyDeviceUID), 0, nullptr, size),
        0);
    EXPECT_EQ(size, 8u);

    double rate = 0;
    size = 4;
    EXPECT_EQ(system->getPropertyData(usb, address(kAudioDevicePropertyNominalSampleRate), 0,
                                      nullptr, size, &rate),
              kAudioHardwareBadPropertySizeError);
    size = 8;
    EXPECT_EQ(system->getPropertyData(usb, address(kAudioDevicePropertyNominalSampleRate), 0,
                                      nullptr, size, &rate),
              0);
    EXPECT_EQ(rate, 48000.0);

    // Unknown properties and objects.
    EXPECT_EQ(system->getPropertyDataSize(usb, address(kAudioProcessPropertyPID), 0, nullptr, size),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(
        system->getPropertyDataSize(9999, address(kAudioProcessPropertyPID), 0, nullptr, size),
        kAudioHardwareBadObjectError);
    EXPECT_FALSE(system->hasProperty(usb, address(kAudioAggregateDevicePropertyComposition)));
    EXPECT_FALSE(system->hasProperty(
        usb, address(kAudioDevicePropertyDataSources, kAudioObjectPropertyScopeInput)));
    EXPECT_TRUE(system->hasProperty(usb, address(kAudioDevicePropertyDeviceUID)));

    // Null references are answers, not failures.
    std::optional<std::string> none = "x";
    EXPECT_EQ(system->getStringProperty(nameless, address(kAudioDevicePropertyDeviceUID), none), 0);
    EXPECT_FALSE(none.has_value());
    EXPECT_EQ(str(*system, nameless, kAudioObjectPropertyName), "<null>");
    auto processes = ids(*system, 1, kAudioHardwarePropertyProcessObjectList);
    EXPECT_EQ(system->getStringProperty(processes[2], address(kAudioProcessPropertyBundleID), none),
              0);
    EXPECT_FALSE(none.has_value());
}

TEST(SimAudioSystemAggregates, ChannelLayoutAndComposition) {
    TempDir dir;
    WorldBuilder world;
    world.addInputDevice("Mic", "mic", 1);
    world.addOutputDevice("Left", "left", 2);
    world.addDevice(sim::Device::make("Wide", "wide", 0, 6));
    ASSERT_TRUE(world.write(dir.world()));
    auto system = openWorld(dir.world());

    TapDescription slot;
    slot.name = "Pellimar application slot 1";
    TapDescription pad;
    pad.name = "Pellimar live channel pad";
    pad.mono = true;
    ObjectID slotTap = 0, padTap = 0;
    ASSERT_EQ(system->createProcessTap(pad, padTap), 0);
    ASSERT_EQ(system->createProcessTap(slot, slotTap), 0);
    auto padUID = str(*system, padTap, kAudioTapPropertyUID);
    auto slotUID = str(*system, slotTap, kAudioTapPropertyUID);
    EXPECT_NE(padUID, slotUID);
    EXPECT_EQ(str(*system, slotTap, kAudioObjectPropertyName), "Pellimar application slot 1");

    AudioStreamBasicDescription format;
    std::uint32_t size = sizeof format;
    ASSERT_EQ(system->getPropertyData(padTap, address(kAudioTapPropertyFormat), 0, nullptr, size,
                                      &format),
              0);
    EXPECT_EQ(format.mChannelsPerFrame, 1u);
    EXPECT_EQ(format.mSampleRate, 48000.0);
    EXPECT_EQ(format.mFormatFlags & kAudioFormatFlagIsFloat, kAudioFormatFlagIsFloat);

    Value capture = {{"name", "Capture"},
                     {"uid", "org.pellimar.application-capture"},
                     {"private", false},
                     {"master", "mic"},
                     {"subdevices", {{{"uid", "mic"}}}},
                     {"taps", {{{"uid", padUID}, {"drift", true}}, {{"uid", slotUID}}}}};
    ObjectID device = 0;
    ASSERT_EQ(system->createAggregateDevice(capture, device), 0);
    EXPECT_EQ(channels(*system, device, kAudioObjectPropertyScopeInput), 1u + 1u + 2u);
    EXPECT_TRUE(system->hasProperty(device, address(kAudioAggregateDevicePropertyComposition)));
    std::optional<Value> composition;
    ASSERT_EQ(system->getValueProperty(device, address(kAudioAggregateDevicePropertyComposition),
                                       composition),
              0);
    // Flags come back as numbers, the way the platform returns them.
    Value expected = capture;
    expected["private"] = 0;
    expected["taps"][0]["drift"] = 1;
    EXPECT_EQ(composition, expected);
    EXPECT_EQ(str(*system, device, kAudioObjectPropertyName), "Capture");
    // UIDs are unique system-wide.
    ObjectID again = 0;
    EXPECT_NE(system->createAggregateDevice(capture, again), 0);
    EXPECT_EQ(again, 0u);

    Value fabric = {{"name", "Fabric"},
                    {"uid", "org.pellimar.output-fabric"},
                    {"stacked", false},
                    {"master", "left"},
                    {"subdevices", {{{"uid", "left"}}, {{"uid", "wide"}}}}};
    ObjectID fabricID = 0;
    ASSERT_EQ(system->createAggregateDevice(fabric, fabricID), 0);
    EXPECT_EQ(channels(*system, fabricID, kAudioObjectPropertyScopeOutput), 8u);
    EXPECT_EQ(
        ids(*system, fabricID, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput).size(),
        2u);

    ASSERT_EQ(system->destroyAggregateDevice(fabricID), 0);
    EXPECT_EQ(system->destroyAggregateDevice(fabricID), kAudioHardwareBadObjectError);
    EXPECT_EQ(deviceByUID(*system, "org.pellimar.output-fabric"), 0u);
    EXPECT_EQ(system->destroyProcessTap(padTap), 0);
    EXPECT_EQ(ids(*system, 1, kAudioHardwarePropertyTapList), std::vector<ObjectID>{slotTap});
    EXPECT_EQ(system->createAggregateDevice(Value::array(), again), kAudio_ParamError);
}

TEST(SimAudioSystemTaps, DescriptionReplacedInPlaceKeepsUID) {
    TempDir dir;
    auto system = openWorld(dir.world());
    TapDescription d;
    d.name = "Pellimar application slot 2";
    ObjectID tap = 0;
    ASSERT_EQ(system->createProcessTap(d, tap), 0);
    auto uid = str(*system, tap, kAudioTapPropertyUID);
    d.processes = {42, 43};
    d.muteBehavior = TapMuteBehavior::mutedWhenTapped;
    ASSERT_EQ(system->setTapDescription(tap, address(kAudioTapPropertyDescription), d), 0);
    std::optional<TapDescription> read;
    ASSERT_EQ(system->getTapDescription(tap, address(kAudioTapPropertyDescription), read), 0);
    EXPECT_EQ(read, d);
    EXPECT_EQ(str(*system, tap, kAudioTapPropertyUID), uid);
    // Another process sees the same.
    auto other = openWorld(dir.world());
    ASSERT_EQ(other->getTapDescription(tap, address(kAudioTapPropertyDescription), read), 0);
    EXPECT_EQ(read, d);
}

TEST(SimAudioSystemWrites, FormatsSourcesAndRates) {
    TempDir dir;
    WorldBuilder world;
    auto usb = world.addDevice(sim::Device::make("USB", "usb", 2, 8));
    auto& stream = world.device(usb).streams[1];
    stream.availablePhysical.push_back({sim::floatFormat(2, 48000), {44100.0, 96000.0}});
    world.device(usb).dataSources = {{1, "Front"}, {2, std::nullopt}};
    world.device(usb).currentSource = 1;
    ASSERT_TRUE(world.write(dir.world()));
    auto system = openWorld(dir.world());

    auto streams = ids(*system, usb, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput);
    ASSERT_EQ(streams.size(), 1u);
    auto two = sim::floatFormat(2, 96000);
    ASSERT_EQ(system->setPropertyData(streams[0], address(kAudioStreamPropertyPhysicalFormat), 0,
                                      nullptr, sizeof two, &two),
              0);
    EXPECT_EQ(channels(*system, usb, kAudioObjectPropertyScopeOutput), 2u);
    double rate = 0;
    std::uint32_t size = 8;
    ASSERT_EQ(system->getPropertyData(usb, address(kAudioDevicePropertyNominalSampleRate), 0,
                                      nullptr, size, &rate),
              0);
    EXPECT_EQ(rate, 96000.0);
    auto three = sim::floatFormat(3, 48000);
    EXPECT_EQ(system->setPropertyData(streams[0], address(kAudioStreamPropertyVirtualFormat), 0,
                                      nullptr, sizeof three, &three),
              kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(system->setPropertyData(streams[0], address(kAudioStreamPropertyVirtualFormat), 0,
                                      nullptr, 39, &three),
              kAudioHardwareBadPropertySizeError);

    auto input = address(kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeInput);
    std::uint32_t source = 2;
    ASSERT_EQ(system->setPropertyData(usb, input, 0, nullptr, 4, &source), 0);
    EXPECT_EQ(ids(*system, usb, kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeInput),
              std::vector<ObjectID>{2});
    source = 7;
    EXPECT_NE(system->setPropertyData(usb, input, 0, nullptr, 4, &source), 0);
    std::optional<std::string> name = "x";
    EXPECT_EQ(
        system->translateDataSourceName(usb,
                                        address(kAudioDevicePropertyDataSourceNameForIDCFString,
                                                kAudioObjectPropertyScopeInput),
                                        2, name),
        0);
    EXPECT_FALSE(name.has_value());

    rate = 44100;
    ASSERT_EQ(system->setPropertyData(usb, address(kAudioDevicePropertyNominalSampleRate), 0,
                                      nullptr, 8, &rate),
              0);
    rate = 12345;
    EXPECT_EQ(system->setPropertyData(usb, address(kAudioDevicePropertyNominalSampleRate), 0,
                                      nullptr, 8, &rate),
              kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(
        system->setPropertyData(usb, address(kAudioDevicePropertyDeviceUID), 0, nullptr, 8, &rate),
        kAudioHardwareIllegalOperationError);
}

TEST(SimAudioSystemWrites, FormatsAreCheckedFieldForFieldAgainstTheirOwnList) {
    TempDir dir;
    WorldBuilder world;
    sim::Device dac = sim::Device::make("DAC", "dac", 0, 0);
    // Two output streams; the first runs 24-bit integer physically under a float virtual format.
    sim::Stream first =
        sim::Stream::make(sim::StreamScope::output, sim::integerFormat(2, 48000, 24));
    first.virtualFormat = sim::floatFormat(2, 48000);
    first.availableVirtual = {{sim::floatFormat(2, 48000), {44100, 96000}}};
    dac.streams = {first, sim::Stream::make(sim::StreamScope::output, 6)};
    auto device = world.addDevice(dac);
    ASSERT_TRUE(world.write(dir.world()));
    auto system = openWorld(dir.world());

    auto streams =
        ids(*system, device, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(channels(*system, device, kAudioObjectPropertyScopeOutput), 8u);
    auto list = [&](Selector selector) {
        std::vector<AudioStreamRangedDescription> out(8);
        std::uint32_t size = sizeof(AudioStreamRangedDescription) * 8;
        EXPECT_EQ(
            system->getPropertyData(streams[0], address(selector), 0, nullptr, size, out.data()),
            0);
        out.resize(size / sizeof(AudioStreamRangedDescription));
        return out;
    };
    ASSERT_EQ(list(kAudioStreamPropertyAvailablePhysicalFormats).size(), 3u);
    EXPECT_EQ(list(kAudioStreamPropertyAvailablePhysicalFormats)[0].mFormat.mBitsPerChannel, 24u);
    ASSERT_EQ(list(kAudioStreamPropertyAvailableVirtualFormats).size(), 1u);
    EXPECT_EQ(list(kAudioStreamPropertyAvailableVirtualFormats)[0].mSampleRateRange.mMaximum,
              96000.0);

    auto write = [&](Selector selector, const AudioStreamBasicDescription& format) {
        return system->setPropertyData(streams[0], address(selector), 0, nullptr, sizeof format,
                                       &format);
    };
    // Same channels and rate but other sample flags or sizes: refused like the platform does.
    EXPECT_EQ(write(kAudioStreamPropertyPhysicalFormat, sim::floatFormat(2, 48000)),
              kAudioDeviceUnsupportedFormatError);
    auto wrongBytes = sim::integerFormat(2, 48000, 24);
    wrongBytes.mBytesPerFrame = 8;
    EXPECT_EQ(write(kAudioStreamPropertyPhysicalFormat, wrongBytes),
              kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(write(kAudioStreamPropertyVirtualFormat, sim::integerFormat(2, 48000, 24)),
              kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(write(kAudioStreamPropertyVirtualFormat, sim::floatFormat(2, 88200)), 0);
    EXPECT_EQ(write(kAudioStreamPropertyPhysicalFormat, sim::integerFormat(2, 96000, 24)), 0);
    AudioStreamBasicDescription physical;
    std::uint32_t size = sizeof physical;
    ASSERT_EQ(system->getPropertyData(streams[0], address(kAudioStreamPropertyPhysicalFormat), 0,
                                      nullptr, size, &physical),
              0);
    EXPECT_EQ(physical.mBitsPerChannel, 24u);
    EXPECT_EQ(physical.mSampleRate, 96000.0);
}

TEST(SimWorld, CompositionFlagsReadBackAsNumbersAtAnyDepth) {
    Value description = {{"private", true},
                         {"stacked", false},
                         {"subdevices", {{{"uid", "a"}, {"drift", true}, {"drift quality", 96}}}}};
    Value expected = {{"private", 1},
                      {"stacked", 0},
                      {"subdevices", {{{"uid", "a"}, {"drift", 1}, {"drift quality", 96}}}}};
    EXPECT_EQ(sim::withNumericFlags(description), expected);
    EXPECT_TRUE(sim::withNumericFlags(description)["stacked"].is_number());
}

TEST(SimWorld, NonFiniteNumbersNeverReachTheFile) {
    TempDir dir;
    WorldBuilder world = WorldBuilder::defaultMachine();
    ASSERT_TRUE(world.write(dir.world()));
    world.world().devices[0].nominalRate = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(world.write(dir.world()));
    sim::WorldControl control(dir.world());
    auto changed = control.update([](sim::World& w) {
        w.devices[0].streams[0].physical.mSampleRate = std::numeric_limits<double>::infinity();
    });
    EXPECT_FALSE(changed);
    auto now = control.read();
    ASSERT_TRUE(now) << now.error();
    EXPECT_EQ(now->devices[0].streams[0].physical.mSampleRate, 48000.0);

    auto system = openWorld(dir.world());
    double rate = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(
        system->setPropertyData(now->devices[0].id, address(kAudioDevicePropertyNominalSampleRate),
                                0, nullptr, 8, &rate),
        kAudioDeviceUnsupportedFormatError);
}

TEST(SimWorld, DevicesWithoutUIDNameOrCurrentSource) {
    TempDir dir;
    WorldBuilder world;
    auto mic = world.addInputDevice("", "", 2);
    world.device(mic).uidIsNull = true;
    world.device(mic).nameIsNull = true;
    world.device(mic).dataSources = {{1, "Front"}};
    ASSERT_TRUE(world.write(dir.world()));
    auto system = openWorld(dir.world());
    std::optional<std::string> text = "x";
    EXPECT_EQ(system->getStringProperty(mic, address(kAudioDevicePropertyDeviceUID), text), 0);
    EXPECT_FALSE(text.has_value());
    text = "x";
    EXPECT_EQ(system->getStringProperty(mic, address(kAudioObjectPropertyName), text), 0);
    EXPECT_FALSE(text.has_value());
    EXPECT_TRUE(
        ids(*system, mic, kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeInput).empty());
    EXPECT_EQ(ids(*system, mic, kAudioDevicePropertyDataSources, kAudioObjectPropertyScopeInput),
              std::vector<ObjectID>{1});
}

}  // namespace
}  // namespace pellimar::audio
