// The PipeWire audio object system against a private daemon with WirePlumber.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>

#include <nlohmann/json.hpp>

#include "platform/pipewire/audio_system.hpp"
#include "platform/pipewire/graph.hpp"
#include "platform/run_loop/run_loop.hpp"
#include "tests/support/pipewire_daemon.hpp"
#include "tests/support/pipewire_fixture.hpp"

namespace pellimar::audio {
namespace {

using testing::PipeWireDaemon;
using testing::PrivatePipeWireTest;

std::vector<ObjectID> idList(AudioSystem& system, ObjectID object, Selector selector,
                             Scope scope = kAudioObjectPropertyScopeGlobal) {
    const AudioObjectPropertyAddress address{selector, scope};
    std::uint32_t size = 0;
    if (system.getPropertyDataSize(object, address, 0, nullptr, size) != 0) {
        return {};
    }
    std::vector<ObjectID> ids(size / 4);
    if (ids.empty() || system.getPropertyData(object, address, 0, nullptr, size, ids.data()) != 0) {
        return {};
    }
    ids.resize(size / 4);
    return ids;
}

template <typename T>
std::optional<T> scalar(AudioSystem& system, ObjectID object, Selector selector,
                        Scope scope = kAudioObjectPropertyScopeGlobal) {
    T value{};
    std::uint32_t size = sizeof(T);
    if (system.getPropertyData(object, {selector, scope}, 0, nullptr, size, &value) != 0 ||
        size != sizeof(T)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> text(AudioSystem& system, ObjectID object, Selector selector) {
    std::optional<std::string> out;
    if (system.getStringProperty(object, {selector}, out) != 0) {
        return std::nullopt;
    }
    return out;
}

ObjectID deviceNamed(AudioSystem& system, const std::string& uid) {
    for (ObjectID id : idList(system, kAudioObjectSystemObject, kAudioHardwarePropertyDevices)) {
        if (text(system, id, kAudioDevicePropertyDeviceUID) == uid) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

std::uint32_t channels(AudioSystem& system, ObjectID device, Scope scope) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, scope};
    std::uint32_t size = 0;
    if (system.getPropertyDataSize(device, address, 0, nullptr, size) != 0 || size < 8) {
        return 0;
    }
    std::vector<std::uint64_t> storage((size + 7) / 8);
    if (system.getPropertyData(device, address, 0, nullptr, size, storage.data()) != 0) {
        return 0;
    }
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    std::uint32_t total = 0;
    for (std::uint32_t i = 0; i < list->mNumberBuffers; ++i) {
        total += list->mBuffers[i].mNumberChannels;
    }
    return total;
}

class PipeWireSystemTest : public PrivatePipeWireTest {
  protected:
    static void SetUpTestSuite() { startSharedDaemon(); }

    void SetUpWithDaemon() override {
        auto opened = pipewire::PipeWireAudioSystem::open();
        ASSERT_TRUE(opened) << opened.error();
        system_ = std::move(*opened);
    }

    std::unique_ptr<pipewire::PipeWireAudioSystem> system_;
};

TEST_F(PipeWireSystemTest, NullSinksAndSourcesOfOneTwoAndEightChannelsAreDevices) {
    struct Case {
        std::string uid;
        std::string mediaClass;
        std::uint32_t channels;
        Scope scope;
    };
    const std::vector<Case> cases = {
        {"test-mono-sink", "Audio/Sink", 1, kAudioObjectPropertyScopeOutput},
        {"test-stereo-sink", "Audio/Sink", 2, kAudioObjectPropertyScopeOutput},
        {"test-eight-source", "Audio/Source/Virtual", 8, kAudioObjectPropertyScopeInput},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(PipeWireDaemon::createNullNode(c.uid, "Device " + c.uid, c.mediaClass,
                                                   int(c.channels)));
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uid);
        ObjectID device = 0;
        // The cache fills from the daemon's events, the format and the format list separately:
        // wait until both have arrived (the rates read falls back to the graph's rate before).
        ASSERT_TRUE(PipeWireDaemon::waitFor([&] {
            device = deviceNamed(*system_, c.uid);
            if (device == 0 || channels(*system_, device, c.scope) != c.channels) {
                return false;
            }
            AudioValueRange range{};
            std::uint32_t bytes = sizeof range;
            return system_->getPropertyData(device,
                                            {kAudioDevicePropertyAvailableNominalSampleRates}, 0,
                                            nullptr, bytes, &range) == 0 &&
                   range.mMinimum != range.mMaximum;
        }));
        EXPECT_EQ(text(*system_, device, kAudioObjectPropertyName), "Device " + c.uid);
        EXPECT_EQ(scalar<std::uint32_t>(*system_, device, kAudioDevicePropertyTransportType),
                  kAudioDeviceTransportTypeVirtual);
        const Scope other = c.scope == kAudioObjectPropertyScopeInput
                                ? kAudioObjectPropertyScopeOutput
                                : kAudioObjectPropertyScopeInput;
        EXPECT_EQ(channels(*system_, device, other), 0u);
        EXPECT_EQ(scalar<double>(*system_, device, kAudioDevicePropertyNominalSampleRate), 48000.0);

        const AudioObjectPropertyAddress ratesAddress{
            kAudioDevicePropertyAvailableNominalSampleRates};
        AudioValueRange rates[4];
        std::uint32_t size = sizeof rates;
        ASSERT_EQ(system_->getPropertyData(device, ratesAddress, 0, nullptr, size, rates), 0);
        ASSERT_EQ(size, sizeof(AudioValueRange));
        EXPECT_EQ(rates[0].mMinimum, 1.0);  // a null node takes any rate
        EXPECT_EQ(rates[0].mMaximum, 2147483647.0);

        const auto streams = idList(*system_, device, kAudioDevicePropertyStreams, c.scope);
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_TRUE(idList(*system_, device, kAudioDevicePropertyStreams, other).empty());
        EXPECT_EQ(scalar<std::uint32_t>(*system_, streams[0], kAudioStreamPropertyDirection),
                  c.scope == kAudioObjectPropertyScopeInput ? 1u : 0u);
        auto virtualFormat = scalar<AudioStreamBasicDescription>(*system_, streams[0],
                                                                 kAudioStreamPropertyVirtualFormat);
        ASSERT_TRUE(virtualFormat);
        EXPECT_EQ(virtualFormat->mChannelsPerFrame, c.channels);
        EXPECT_EQ(virtualFormat->mSampleRate, 48000.0);
        EXPECT_TRUE(virtualFormat->mFormatFlags & kAudioFormatFlagIsFloat);
        EXPECT_EQ(virtualFormat->mBytesPerFrame, 4 * c.channels);
        auto physical = scalar<AudioStreamBasicDescription>(*system_, streams[0],
                                                            kAudioStreamPropertyPhysicalFormat);
        ASSERT_TRUE(physical);
        EXPECT_EQ(physical->mChannelsPerFrame, c.channels);
        EXPECT_EQ(physical->mBitsPerChannel, 32u);
        // Stereo: only a list of ranged formats fits, element by element.
        AudioStreamRangedDescription formats[4];
        size = sizeof formats;
        ASSERT_EQ(
            system_->getPropertyData(streams[0], {kAudioStreamPropertyAvailablePhysicalFormats}, 0,
                                     nullptr, size, formats),
            0);
        EXPECT_GE(size / sizeof(AudioStreamRangedDescription), 1u);
        EXPECT_EQ(formats[0].mFormat.mChannelsPerFrame, c.channels);
    }
    for (const auto& c : cases) {
        EXPECT_TRUE(PipeWireDaemon::destroyNode(c.uid));
    }
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
        return deviceNamed(*system_, "test-mono-sink") == 0 &&
               deviceNamed(*system_, "test-eight-source") == 0;
    }));
}

TEST_F(PipeWireSystemTest, DefaultDevicesFollowTheSessionManagersMetadata) {
    ASSERT_TRUE(PipeWireDaemon::createNullNode("test-default-a", "A", "Audio/Sink", 2));
    ASSERT_TRUE(PipeWireDaemon::createNullNode("test-default-b", "B", "Audio/Sink", 2));
    ObjectID a = 0, b = 0;
    ASSERT_TRUE(PipeWireDaemon::waitFor([&] {
        a = deviceNamed(*system_, "test-default-a");
        b = deviceNamed(*system_, "test-default-b");
        return a && b;
    }));
    RunLoop loop;
    std::atomic<int> calls{0};
    ListenerID listener = 0;
    ASSERT_EQ(system_->addPropertyListener(
                  kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice},
                  loop.context(), [&](ObjectID, const auto&) { ++calls; }, listener),
              0);
    // Each step names the device that is not the default now, so the value changes each time.
    std::vector<std::pair<std::string, ObjectID>> steps = {{"test-default-a", a},
                                                           {"test-default-b", b}};
    if (scalar<ObjectID>(*system_, kAudioObjectSystemObject,
                         kAudioHardwarePropertyDefaultOutputDevice) == a) {
        std::swap(steps[0], steps[1]);
    }
    for (const auto& step : steps) {
        const std::string& uid = step.first;
        const ObjectID device = step.second;  // a lambda below cannot capture a binding
        SCOPED_TRACE(uid);
        ASSERT_TRUE(PipeWireDaemon::run(
            "pw-metadata -n default 0 default.configured.audio.sink '{ \"name\": \"" + uid +
            "\" }' Spa:String:JSON >/dev/null"));
        const int before = calls;
        EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
            loop.runFor(std::chrono::milliseconds(10));
            return scalar<ObjectID>(*system_, kAudioObjectSystemObject,
                                    kAudioHardwarePropertyDefaultOutputDevice) == device &&
                   calls > before;
        }));
        EXPECT_EQ(scalar<ObjectID>(*system_, kAudioObjectSystemObject,
                                   kAudioHardwarePropertyDefaultSystemOutputDevice),
                  device);
    }
    EXPECT_EQ(system_->removePropertyListener(listener), 0);
    PipeWireDaemon::run("pw-metadata -n default -d 0 default.configured.audio.sink >/dev/null");
    PipeWireDaemon::destroyNode("test-default-a");
    PipeWireDaemon::destroyNode("test-default-b");
}

TEST_F(PipeWireSystemTest, ADeviceThatAppearsOrVanishesFiresTheDeviceListListener) {
    RunLoop loop;
    std::atomic<int> calls{0};
    ListenerID listener = 0;
    ASSERT_EQ(system_->addPropertyListener(
                  kAudioObjectSystemObject, {kAudioHardwarePropertyDevices}, loop.context(),
                  [&](ObjectID object, const std::vector<AudioObjectPropertyAddress>& what) {
                      EXPECT_EQ(object, kAudioObjectSystemObject);
                      EXPECT_EQ(what.at(0).mSelector, kAudioHardwarePropertyDevices);
                      ++calls;
                  },
                  listener),
              0);
    ASSERT_TRUE(PipeWireDaemon::createNullNode("test-appearing", "Appearing", "Audio/Sink", 2));
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
        loop.runFor(std::chrono::milliseconds(10));
        return calls > 0 && deviceNamed(*system_, "test-appearing") != 0;
    }));
    const int afterAppearing = calls;
    ASSERT_TRUE(PipeWireDaemon::destroyNode("test-appearing"));
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
        loop.runFor(std::chrono::milliseconds(10));
        return calls > afterAppearing && deviceNamed(*system_, "test-appearing") == 0;
    }));
    // A removed listener hears nothing more.
    EXPECT_EQ(system_->removePropertyListener(listener), 0);
    const int afterRemoval = calls;
    ASSERT_TRUE(PipeWireDaemon::createNullNode("test-unheard", "Unheard", "Audio/Sink", 2));
    ASSERT_TRUE(
        PipeWireDaemon::waitFor([&] { return deviceNamed(*system_, "test-unheard") != 0; }));
    loop.runFor(std::chrono::milliseconds(50));
    EXPECT_EQ(calls, afterRemoval);
    PipeWireDaemon::destroyNode("test-unheard");
}

struct Process {
    ObjectID id = 0;
    std::int32_t pid = 0;
    std::string bundleID;
    bool running = false;
};

std::optional<Process> processWithPid(AudioSystem& system, pid_t pid) {
    for (ObjectID id :
         idList(system, kAudioObjectSystemObject, kAudioHardwarePropertyProcessObjectList)) {
        auto p = scalar<std::int32_t>(system, id, kAudioProcessPropertyPID);
        if (p && *p == pid) {
            Process out;
            out.id = id;
            out.pid = *p;
            out.bundleID = text(system, id, kAudioProcessPropertyBundleID).value_or("");
            out.running =
                scalar<std::uint32_t>(system, id, kAudioProcessPropertyIsRunning).value_or(0) != 0;
            return out;
        }
    }
    return std::nullopt;
}

// A test application with an identity of its own: pw-cat under another name, its client
// properties from an application-specific configuration directory.
pid_t startTestClient(const PipeWireDaemon& daemon, const std::string& appID,
                      const std::string& target) {
    const std::string config = daemon.file("client-" + appID);
    std::filesystem::create_directories(config + "/pipewire/client-rt.conf.d");
    std::filesystem::create_directories(config + "/pipewire/client.conf.d");
    for (const char* conf :
         {"/pipewire/client-rt.conf.d/app.conf", "/pipewire/client.conf.d/app.conf"}) {
        std::ofstream(config + conf)
            << "context.properties = { application.id = \"" << appID << "\" }\n";
    }
    const std::string tone = daemon.file("client-tone.wav");
    if (!std::filesystem::exists(tone)) {
        PipeWireDaemon::run("sox -n -r 48000 -c 2 -b 16 '" + tone + "' synth 60 sine 300 vol 0.2");
    }
    const std::string binary = daemon.file("pellimar-test-client");
    std::filesystem::copy_file("/usr/bin/pw-cat", binary,
                               std::filesystem::copy_options::overwrite_existing);
    return PipeWireDaemon::spawn({"/usr/bin/env", "XDG_CONFIG_HOME=" + config, binary, "--playback",
                                  "--target", target, tone},
                                 daemon.file("client.log"));
}

TEST(PipeWireVersion, IsComparedByNumbersAndUnreadableOnesAreNeverNewEnough) {
    using pipewire::pipewireVersionAtLeast;
    EXPECT_FALSE(pipewireVersionAtLeast("0.3.65", 1, 3, 81));
    EXPECT_FALSE(pipewireVersionAtLeast("1.2.7", 1, 3, 81));
    EXPECT_FALSE(pipewireVersionAtLeast("1.3.80", 1, 3, 81));
    EXPECT_TRUE(pipewireVersionAtLeast("1.3.81", 1, 3, 81));
    EXPECT_TRUE(pipewireVersionAtLeast("1.4.2", 1, 3, 81));
    EXPECT_TRUE(pipewireVersionAtLeast("1.10.0", 1, 4, 0));  // not compared as text
    EXPECT_TRUE(pipewireVersionAtLeast("2.0.0", 1, 4, 0));
    EXPECT_FALSE(pipewireVersionAtLeast("", 0, 0, 0));
    EXPECT_FALSE(pipewireVersionAtLeast("1.4", 1, 0, 0));
}

TEST_F(PipeWireSystemTest, AClientIsAProcessWithItsPidRunningWhileItPlaysAndGoneWhenItQuits) {
    ASSERT_TRUE(PipeWireDaemon::createNullNode("test-client-sink", "Client sink", "Audio/Sink", 2));
    pid_t client = startTestClient(*daemon_, "org.example.test-client", "test-client-sink");
    ASSERT_GT(client, 0);
    std::optional<Process> p;
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
        p = processWithPid(*system_, client);
        return p && p->running;
    })) << "process "
        << client << (p ? " listed, not running" : " not listed");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->bundleID, "org.example.test-client");
    EXPECT_EQ(scalar<std::int32_t>(*system_, p->id, kAudioProcessPropertyPID), client);

    // The command-line tool lists it too.
    const std::string listing = daemon_->file("list.json");
    ASSERT_TRUE(PipeWireDaemon::run("PELLIMAR_AUDIO_BACKEND=pipewire " PELLIMAR_BIN_DIR
                                    "/pellimar-process-tap list > '" +
                                    listing + "'"));
    std::ifstream in(listing);
    const auto listed = nlohmann::json::parse(in, nullptr, false);
    ASSERT_TRUE(listed.is_array());
    bool found = false;
    for (const auto& entry : listed) {
        if (entry.value("pid", 0) == client) {
            found = true;
            EXPECT_EQ(entry.value("bundleID", ""), "org.example.test-client");
            EXPECT_EQ(entry.value("objectID", 0u), p->id);
        }
    }
    EXPECT_TRUE(found) << listed.dump();

    PipeWireDaemon::signalAndReap(client, SIGTERM);
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return !processWithPid(*system_, p->pid); }));
    EXPECT_EQ(scalar<std::int32_t>(*system_, p->id, kAudioProcessPropertyPID), std::nullopt);
    PipeWireDaemon::destroyNode("test-client-sink");
}

// A capture's refresh can name a process that has just quit: the tap takes the rest, and the
// process that plays is fed into it.
TEST_F(PipeWireSystemTest, ATapUpdateNamingAProcessThatQuitTakesTheOthers) {
    ASSERT_TRUE(PipeWireDaemon::createNullNode("test-gone-sink", "Gone sink", "Audio/Sink", 2));
    // One after the other: the test clients share one copy of pw-cat.
    pid_t gone = startTestClient(*daemon_, "org.example.gone", "test-gone-sink");
    std::optional<Process> goneProcess, staysProcess;
    ASSERT_TRUE(PipeWireDaemon::waitFor(
        [&] { return bool(goneProcess = processWithPid(*system_, gone)); }));
    PipeWireDaemon::signalAndReap(gone, SIGTERM);
    ASSERT_TRUE(
        PipeWireDaemon::waitFor([&] { return !processWithPid(*system_, goneProcess->pid); }));
    pid_t stays = startTestClient(*daemon_, "org.example.stays", "test-gone-sink");
    ASSERT_TRUE(PipeWireDaemon::waitFor(
        [&] { return bool(staysProcess = processWithPid(*system_, stays)); }));
    TapDescription description;
    description.name = "Pellimar application slot 1";
    description.muteBehavior = TapMuteBehavior::mutedWhenTapped;
    ObjectID tap = 0;
    ASSERT_EQ(system_->createProcessTap(description, tap), kAudioHardwareNoError);

    description.processes = {goneProcess->id, staysProcess->id};
    EXPECT_EQ(system_->setTapDescription(tap, {kAudioTapPropertyDescription}, description),
              kAudioHardwareNoError);
    std::optional<TapDescription> read;
    EXPECT_EQ(system_->getTapDescription(tap, {kAudioTapPropertyDescription}, read),
              kAudioHardwareNoError);
    EXPECT_EQ(read, description);
    const std::string links = daemon_->file("links.txt");
    EXPECT_TRUE(PipeWireDaemon::waitFor([] {
        return PipeWireDaemon::run(
            "pw-link -l | awk '/^[^ ]/ { out = /^pellimar-test-client:output_FL/ } "
            "out && /org.pellimar.tap.pellimar-application-slot-1:input_FL/ { fed = 1 } "
            "END { exit !fed }'");
    })) << "the playing process is not fed into the tap\n"
        << (PipeWireDaemon::run("pw-link -l > '" + links + "'"),
            std::string(std::istreambuf_iterator<char>(std::ifstream(links).rdbuf()), {}));

    PipeWireDaemon::signalAndReap(stays, SIGTERM);
    EXPECT_EQ(system_->destroyProcessTap(tap), kAudioHardwareNoError);
    PipeWireDaemon::destroyNode("test-gone-sink");
}

// The daemon does not pass a metadata change on to its other users while a new client's binding
// of it awaits the session manager, so the echo of a tap's new description can be lost. Its
// update takes what it wrote, as when the session manager is slow to answer.
TEST_F(PipeWireSystemTest, ATapUpdateDoesNotDependOnTheMetadatasEcho) {
    TapDescription description;
    description.name = "Pellimar application slot 1";
    description.muteBehavior = TapMuteBehavior::mutedWhenTapped;
    ObjectID tap = 0;
    ASSERT_EQ(system_->createProcessTap(description, tap), kAudioHardwareNoError);
    description.processes = {424242};
    description.label = "slot 1 (org.example.late)";
    daemon_->signalSessionManager(SIGSTOP);
    const Status status =
        system_->setTapDescription(tap, {kAudioTapPropertyDescription}, description);
    std::optional<TapDescription> read;
    const Status readStatus = system_->getTapDescription(tap, {kAudioTapPropertyDescription}, read);
    daemon_->signalSessionManager(SIGCONT);
    EXPECT_EQ(status, kAudioHardwareNoError);
    EXPECT_EQ(readStatus, kAudioHardwareNoError);
    EXPECT_EQ(read, description);
    // Once answered, the metadata holds it for everyone.
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
        return PipeWireDaemon::run("pw-metadata 0 pellimar.tap.description." + std::to_string(tap) +
                                   " | grep -q org.example.late");
    }));
    EXPECT_EQ(system_->destroyProcessTap(tap), kAudioHardwareNoError);
}

TEST_F(PipeWireSystemTest, WritesAndCreatesTheDaemonRefusesFailCleanly) {
    ObjectID created = 123;
    EXPECT_EQ(system_->createAggregateDevice(Value::array(), created), kAudio_ParamError);
    EXPECT_EQ(created, kAudioObjectUnknown);
    created = 123;
    EXPECT_EQ(system_->createAggregateDevice(Value::object(), created),
              kAudioHardwareIllegalOperationError);  // no channels to make a device of
    EXPECT_EQ(created, kAudioObjectUnknown);
    EXPECT_EQ(system_->createAggregateDevice({{"uid", "x"}, {"stacked", true}}, created),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(system_->destroyAggregateDevice(42), kAudioHardwareBadObjectError);
    EXPECT_EQ(system_->destroyProcessTap(42), kAudioHardwareBadObjectError);
    EXPECT_TRUE(system_->supportsProcessTaps());
    const ObjectID dOut = kAudioObjectSystemObject;
    ObjectID device = 0x7ffffff0;
    EXPECT_EQ(system_->setPropertyData(dOut, {kAudioHardwarePropertyDefaultOutputDevice}, 0,
                                       nullptr, 4, &device),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(system_->setPropertyData(0x7ffffff0, {kAudioDevicePropertyNominalSampleRate}, 0,
                                       nullptr, 4, &device),
              kAudioHardwareBadObjectError);
    // Unknown objects and properties answer with the platform's statuses.
    std::uint32_t size = 0;
    EXPECT_EQ(
        system_->getPropertyDataSize(0x7ffffff0, {kAudioObjectPropertyName}, 0, nullptr, size),
        kAudioHardwareBadObjectError);
    EXPECT_EQ(system_->getPropertyDataSize(kAudioObjectSystemObject, {fourCharCode("xxxx")}, 0,
                                           nullptr, size),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(idList(*system_, kAudioObjectSystemObject, kAudioHardwarePropertyTapList).size(), 0u);
}

TEST(PipeWireWithoutDaemon, OpeningFailsWithAClearErrorAndDoesNotHang) {
    testing::TempDir empty;
    ::setenv("XDG_RUNTIME_DIR", empty.path().c_str(), 1);
    ::unsetenv("PIPEWIRE_REMOTE");
    ::setenv("PELLIMAR_AUDIO_BACKEND", "pipewire", 1);
    auto opened = openAudioSystem();
    ::unsetenv("PELLIMAR_AUDIO_BACKEND");
    ASSERT_FALSE(opened);
    EXPECT_NE(opened.error().find("PipeWire: cannot connect to the daemon"), std::string::npos)
        << opened.error();
}

}  // namespace
}  // namespace pellimar::audio
