#include <gtest/gtest.h>

#include "platform/json/pretty_json.hpp"
#include "process_tap/command_line.hpp"
#include "process_tap/process_inventory.hpp"
#include "process_tap/recovery.hpp"
#include "process_tap/tap_runtime.hpp"
#include "tests/audio_objects/fake_object_properties.hpp"

namespace pellimar::process_tap {
namespace {

using pellimar::testing::FakeObjectProperties;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using Sleeps = std::vector<std::chrono::microseconds>;

ProcessInfo process(ObjectID id, std::string bundleID) {
    return {id, static_cast<std::int32_t>(id) + 1000, std::move(bundleID), true};
}

std::vector<ObjectID> ids(const std::vector<ProcessInfo>& processes) {
    std::vector<ObjectID> result;
    for (const auto& p : processes) {
        result.push_back(p.objectID);
    }
    return result;
}

TEST(MatchingProcesses, AlternativesMatchWholeIdentifiersOrDottedContinuations) {
    const std::vector<ProcessInfo> inventory = {
        process(10, "com.google.Chrome"),         process(11, "com.google.Chrome.helper"),
        process(12, "com.google.ChromeCanary"),   process(13, "com.apple.Safari"),
        process(14, "com.apple.safari"),          process(15, ""),
        process(16, "com.google.Chrome.helper2"), process(17, "com.google"),
    };
    EXPECT_EQ(ids(matchingProcesses("com.google.Chrome", inventory)),
              (std::vector<ObjectID>{10, 11, 16}));
    EXPECT_EQ(ids(matchingProcesses("com.apple.Safari|com.google.Chrome", inventory)),
              (std::vector<ObjectID>{10, 11, 13, 16}));
    // Overlapping alternatives list a process once; empty pieces match nothing.
    EXPECT_EQ(ids(matchingProcesses("|com.google.Chrome||com.google.Chrome.helper|", inventory)),
              (std::vector<ObjectID>{10, 11, 16}));
    EXPECT_TRUE(matchingProcesses("", inventory).empty());
    EXPECT_TRUE(matchingProcesses("|", inventory).empty());
}

TEST(MakeDescription, SlotAndPadTapSettings) {
    const auto slot = makeDescription(3, {process(22, "a"), process(21, "b")});
    EXPECT_EQ(slot.name, "Pellimar application slot 3");
    EXPECT_EQ(slot.processes, (std::vector<ObjectID>{22, 21}));
    EXPECT_FALSE(slot.isPrivate);
    EXPECT_FALSE(slot.exclusive);
    EXPECT_TRUE(slot.mixdown);
    EXPECT_FALSE(slot.mono);
    EXPECT_EQ(slot.muteBehavior, audio::TapMuteBehavior::mutedWhenTapped);
    const auto pad = makePadDescription();
    EXPECT_EQ(pad.name, "Pellimar live channel pad");
    EXPECT_TRUE(pad.processes.empty());
    EXPECT_TRUE(pad.mono);
    EXPECT_FALSE(pad.isPrivate);
    EXPECT_EQ(pad.muteBehavior, audio::TapMuteBehavior::unmuted);
}

TEST(ParseRunArguments, OptionsSlotsAndDefaults) {
    auto parsed = parseRunArguments(
        {"--live-input-name", "A", "-x", "--live-input-name", "", "com.apple.Music"});
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->liveInputName, std::optional<std::string>(""));
    EXPECT_EQ(parsed->slotBundleIDs, (std::vector<std::string>{"-x", "com.apple.Music"}));

    auto defaults = parseRunArguments({});
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->slotBundleIDs,
              (std::vector<std::string>{"com.google.Chrome", "com.apple.Safari", "org.videolan.vlc",
                                        "com.apple.Music"}));
    EXPECT_FALSE(defaults->liveInputName);

    auto missing = parseRunArguments({"com.apple.Music", "--live-input-name"});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().description(), "Missing value for --live-input-name");
}

TEST(Processes, FailedReadSkipsTheProcessAfterLoggingIt) {
    FakeObjectProperties system;
    system.addProcess(40, 400, "com.apple.Music", true);
    system.addProcess(41, 401, "com.apple.Music", false);
    system.addProcess(42, 402, "broken", true);
    system.addProcess(43, 403, "", false);
    system.fault("string", 42, audio::kAudioProcessPropertyBundleID, -50);

    CaptureStderr();
    auto inventory = processes(system);
    const std::string log = GetCapturedStderr();
    ASSERT_TRUE(inventory);
    EXPECT_EQ(*inventory, (std::vector<ProcessInfo>{{40, 400, "com.apple.Music", true},
                                                    {41, 401, "com.apple.Music", false},
                                                    {43, 403, "", false}}));
    EXPECT_EQ(log,
              "[process-tap] Ignoring process object 42: Read string property 1885497700 failed "
              "(OSStatus -50, fourCC ----).\n");
    // The PID was read before the failing bundle ID; the running flag never was.
    bool pidRead = false;
    for (const auto& call : system.calls) {
        pidRead |= call.object == 42 && call.selector == audio::kAudioProcessPropertyPID;
        EXPECT_FALSE(call.object == 42 && call.selector == audio::kAudioProcessPropertyIsRunning);
    }
    EXPECT_TRUE(pidRead);
}

TEST(Processes, ListFailureFailsAndEmptyListPrintsEmptyArray) {
    FakeObjectProperties system;
    system.setList(audio::kAudioHardwarePropertyProcessObjectList, {});
    EXPECT_EQ(json::pretty(toJson(*processes(system))).value(), "[\n\n]");
    system.fault("size", 1, audio::kAudioHardwarePropertyProcessObjectList, -50);
    EXPECT_EQ(processes(system).error().description(),
              "Read object-list size failed (OSStatus -50, fourCC ----).");
}

TEST(Recovery, TapNamesOfThisSystem) {
    EXPECT_TRUE(isApplicationTapName("Pellimar live channel pad"));
    EXPECT_TRUE(isApplicationTapName("Pellimar application slot 12"));
    EXPECT_TRUE(isApplicationTapName("Pellimar application slot 0"));
    EXPECT_FALSE(isApplicationTapName("Pellimar application slot"));
    EXPECT_FALSE(isApplicationTapName("Pellimar application slot "));
    EXPECT_FALSE(isApplicationTapName("Pellimar application slot 2b"));
    EXPECT_FALSE(isApplicationTapName("Pellimar application slot -2"));
    EXPECT_FALSE(isApplicationTapName("Pellimar live channel pad "));
    EXPECT_FALSE(isApplicationTapName("xPellimar application slot 1"));
}

TEST(Recovery, DestroysOrphansButKeepsTapsInUseAndForeignTaps) {
    FakeObjectProperties system;
    const ObjectID orphan = system.addTap("Pellimar application slot 12", "u-orphan");
    const ObjectID pad = system.addTap("Pellimar live channel pad", "u-pad");
    const ObjectID used = system.addTap("Pellimar application slot 1", "u-used");
    const ObjectID noNumber = system.addTap("Pellimar application slot", "u-a");
    const ObjectID letters = system.addTap("Pellimar application slot 2b", "u-b");
    const ObjectID noUID = system.addTap("Pellimar application slot 3", "");
    system.addAggregate("other.device", {{"name", "Other"},
                                         {"taps", {{{"uid", "u-used"}}, audio::Value::object()}}});

    CaptureStderr();
    ASSERT_TRUE(destroyOrphanedApplicationTaps(system));
    EXPECT_EQ(GetCapturedStderr(), "[process-tap] Recovered 2 orphaned application taps.\n");
    EXPECT_FALSE(system.taps.contains(orphan));
    EXPECT_FALSE(system.taps.contains(pad));
    for (ObjectID kept : {used, noNumber, letters, noUID}) {
        EXPECT_TRUE(system.taps.contains(kept)) << kept;
    }

    CaptureStderr();
    ASSERT_TRUE(destroyOrphanedApplicationTaps(system));
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(Recovery, AnUnreadableCompositionDestroysNothing) {
    for (const audio::Value& composition :
         {audio::Value{{"name", "No taps"}}, audio::Value{{"taps", "u"}},
          audio::Value{{"taps", {1, 2}}}, audio::Value::array()}) {
        FakeObjectProperties system;
        const ObjectID orphan = system.addTap("Pellimar application slot 1", "u-orphan");
        system.addAggregate("other.device", composition);
        CaptureStderr();
        EXPECT_TRUE(destroyOrphanedApplicationTaps(system));
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_TRUE(system.taps.contains(orphan)) << composition.dump();
    }
}

TEST(Recovery, AFailedTapDestroyIsNeitherCountedNorFatal) {
    FakeObjectProperties system;
    const ObjectID stuck = system.addTap("Pellimar application slot 1", "u1");
    system.addTap("Pellimar application slot 2", "u2");
    system.fault("destroyTap", stuck, 0, audio::kAudioHardwareIllegalOperationError);
    CaptureStderr();
    EXPECT_TRUE(destroyOrphanedApplicationTaps(system));
    EXPECT_EQ(GetCapturedStderr(), "[process-tap] Recovered 1 orphaned application taps.\n");
}

TEST(Recovery, EveryStaleCaptureDeviceIsDestroyed) {
    FakeObjectProperties system;
    system.addDevice(2, "Speakers", "builtin", 0);
    const ObjectID first = system.addAggregate("org.pellimar.application-capture", {});
    const ObjectID second = system.addAggregate("org.pellimar.application-capture", {});
    ASSERT_TRUE(destroyExistingAggregate(system));
    EXPECT_EQ(system.mutations(),
              (std::vector<std::string>{"destroyAggregate " + std::to_string(first),
                                        "destroyAggregate " + std::to_string(second)}));

    const ObjectID third = system.addAggregate("org.pellimar.application-capture", {});
    system.fault("destroyAggregate", third, 0, audio::kAudioHardwareIllegalOperationError);
    EXPECT_EQ(destroyExistingAggregate(system).error().description(),
              "Destroy stale aggregate device failed (OSStatus 1852797029, fourCC nope).");
    system.fault("string", 2, audio::kAudioDevicePropertyDeviceUID, -50);
    EXPECT_EQ(destroyExistingAggregate(system).error().text, "Read string property 1969841184");
}

class TapRuntimeTest : public ::testing::Test {
  protected:
    TapRuntime makeRuntime(std::vector<std::string> prefixes,
                           std::optional<std::string> live = std::nullopt) {
        return TapRuntime(system, std::move(prefixes), std::move(live),
                          [this](std::chrono::microseconds d) { sleeps.push_back(d); });
    }
    std::vector<std::string> tapNames() const {
        std::vector<std::string> names;
        for (const auto& [id, tap] : system.taps) {
            names.push_back(tap.name);
        }
        return names;
    }

    FakeObjectProperties system;
    Sleeps sleeps;
    const std::vector<ProcessInfo> inventory = {
        process(20, "com.apple.Safari"), process(21, "com.google.Chrome"),
        process(22, "com.apple.Music"), process(23, "com.google.Chrome.helper")};
};

TEST_F(TapRuntimeTest, StartBuildsSlotTapsAndTheDevice) {
    auto runtime =
        makeRuntime({"com.google.Chrome|com.apple.Safari", "org.videolan.vlc", "com.apple.Music"});
    auto info = runtime.start(inventory);
    ASSERT_TRUE(info) << info.error().description();
    ASSERT_EQ(runtime.tapIDs().size(), 3u);
    EXPECT_EQ(runtime.selectedProcessIDs(),
              (std::vector<std::vector<ObjectID>>{{20, 21, 23}, {}, {22}}));
    EXPECT_EQ(system.taps.at(runtime.tapIDs()[0]).processes, (std::vector<ObjectID>{20, 21, 23}));
    EXPECT_EQ(system.taps.at(runtime.tapIDs()[2]).name, "Pellimar application slot 3");

    const auto& description = system.aggregates.at(runtime.aggregateID());
    const auto uid = [&](std::size_t i) {
        return "tap-uid-" + std::to_string(runtime.tapIDs()[i]);
    };
    EXPECT_EQ(description,
              (audio::Value{{"name", "Pellimar Application Capture"},
                            {"uid", "org.pellimar.application-capture"},
                            {"private", false},
                            {"taps",
                             {{{"uid", uid(0)}, {"drift", true}, {"drift quality", 96}},
                              {{"uid", uid(1)}, {"drift", true}, {"drift quality", 96}},
                              {{"uid", uid(2)}, {"drift", true}, {"drift quality", 96}}}}}));

    const auto json = toJson(*info);
    EXPECT_EQ(json["channels"], 6);
    EXPECT_EQ(json["applicationChannels"], 4);
    EXPECT_EQ(json["liveInputChannels"], 0);
    EXPECT_EQ(json["announcementChannels"], 2);
    EXPECT_EQ(json["sampleRate"], 48000.0);
    EXPECT_EQ(json["aggregateObjectID"], runtime.aggregateID());
    EXPECT_FALSE(json.contains("liveInputName"));
    EXPECT_FALSE(json.contains("liveInputUID"));
    EXPECT_EQ(json["slots"][1], (nlohmann::json{{"slot", 2},
                                                {"bundleID", "org.videolan.vlc"},
                                                {"tapObjectID", runtime.tapIDs()[1]},
                                                {"processes", nlohmann::json::array()}}));
    EXPECT_EQ(
        json["slots"][2]["processes"][0],
        (nlohmann::json{
            {"objectID", 22}, {"pid", 1022}, {"bundleID", "com.apple.Music"}, {"running", true}}));
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(TapRuntimeTest, OneChannelLiveInputGetsAPadTapFirst) {
    system.addDevice(5, "USB Mic", "usb-mic", 1);
    auto runtime = makeRuntime({"com.apple.Music"}, " USB Mic\n");
    CaptureStderr();
    auto info = runtime.start(inventory);
    EXPECT_EQ(GetCapturedStderr(),
              "[process-tap] Padding 1ch live ' USB Mic\n' to 2ch with silent mono tap.\n");
    ASSERT_TRUE(info);
    ASSERT_NE(runtime.livePadTapID(), 0u);
    EXPECT_EQ(runtime.tapIDs().size(), 1u);
    const auto& description = system.aggregates.at(runtime.aggregateID());
    EXPECT_EQ(description["taps"][0]["uid"], "tap-uid-" + std::to_string(runtime.livePadTapID()));
    EXPECT_EQ(description["master"], "usb-mic");
    EXPECT_EQ(description["subdevices"], (audio::Value{{{"uid", "usb-mic"}}}));
    const auto json = toJson(*info);
    EXPECT_EQ(json["liveInputChannels"], 2);
    EXPECT_EQ(json["applicationChannels"], 0);
    EXPECT_EQ(json["channels"], 4);
    EXPECT_EQ(json["liveInputName"], " USB Mic\n");
    EXPECT_EQ(json["liveInputUID"], "usb-mic");
    EXPECT_EQ(json["slots"].size(), 1u);
    EXPECT_EQ(json["slots"][0]["slot"], 1);
}

TEST_F(TapRuntimeTest, LiveInputLookupSkipsDevicesWithoutInputAndTrimsUnicodeSpace) {
    system.addDevice(5, "Interface", "out-only", 0);
    system.addDevice(6, "Interface", "stereo-in", 2);
    auto runtime = makeRuntime({"a", "b"}, "\u00a0Interface\u3000");
    auto info = runtime.start(inventory);
    ASSERT_TRUE(info);
    EXPECT_EQ(runtime.livePadTapID(), 0u);
    EXPECT_EQ(info->liveInputUID, std::optional<std::string>("stereo-in"));
    EXPECT_EQ(info->liveInputChannels, 2u);
    EXPECT_EQ(info->channels, 6u);

    auto none = findInputDevice(system, "Nothing");
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);
    EXPECT_FALSE(*findInputDevice(system, " \t\r\n"));
}

TEST_F(TapRuntimeTest, DeviceCreationIsTriedFourTimes) {
    system.fault("createAggregate", 0, 0, audio::kAudioHardwareIllegalOperationError, 3);
    {
        auto runtime = makeRuntime({"com.apple.Music"});
        ASSERT_TRUE(runtime.start(inventory));
        EXPECT_NE(runtime.aggregateID(), 0u);
    }
    EXPECT_EQ(sleeps, (Sleeps{std::chrono::microseconds(250000), std::chrono::microseconds(500000),
                              std::chrono::microseconds(750000)}));

    sleeps.clear();
    system.fault("createAggregate", 0, 0, -50, 4);
    auto runtime = makeRuntime({"com.apple.Music"});
    auto info = runtime.start(inventory);
    ASSERT_FALSE(info);
    EXPECT_EQ(info.error().description(),
              "Create aggregate device failed (OSStatus -50, fourCC ----).");
    EXPECT_EQ(sleeps.size(), 3u);
    EXPECT_EQ(system.countCalls("createAggregate"), 8u);
}

TEST_F(TapRuntimeTest, FailedStartLeavesNothingAfterStop) {
    system.addDevice(5, "Mono", "mono", 1);
    system.fault("createTap", 0, 0, audio::kAudioHardwareBadObjectError, -1);
    {
        auto runtime = makeRuntime({"a"});
        EXPECT_EQ(runtime.start(inventory).error().description(),
                  "Create process tap for announcement failed (OSStatus 560947818, fourCC !obj).");
    }
    system = FakeObjectProperties();
    system.addDevice(5, "Mono", "mono", 1);
    system.fault("string", 0, audio::kAudioTapPropertyUID, -50, 1);
    {
        auto runtime = makeRuntime({"a", "b", "c"}, "Mono");
        EXPECT_EQ(runtime.start(inventory).error().text, "Read string property 1953851748");
        EXPECT_EQ(system.taps.size(), 1u);
        runtime.stop();
        EXPECT_TRUE(system.taps.empty());
    }
    system = FakeObjectProperties();
    system.addDevice(5, "Mono", "mono", 1);
    system.fault("createAggregate", 0, 0, -50);
    {
        auto runtime = makeRuntime({"a", "b", "c"}, "Mono");
        CaptureStderr();
        EXPECT_FALSE(runtime.start(inventory));
        GetCapturedStderr();
        EXPECT_EQ(system.taps.size(), 4u);
    }
    EXPECT_TRUE(system.taps.empty());
}

TEST_F(TapRuntimeTest, TapsSayWhatTheyAreForAndAMovedAwayProcessIsReportedOnce) {
    system.addDevice(5, "Mono", "mono", 1);
    auto runtime = makeRuntime({"com.google.Chrome|com.apple.Safari", "com.apple.Music"}, "Mono");
    CaptureStderr();
    ASSERT_TRUE(runtime.start(inventory));
    std::vector<std::string> labels;
    for (const auto& [id, tap] : system.taps) {
        labels.push_back(tap.label);
    }
    EXPECT_EQ(labels,
              (std::vector<std::string>{"slot 1 (com.google.Chrome|com.apple.Safari)",
                                        "live channel pad", "announcements (com.apple.Music)"}));

    // Nothing left its tap: nothing said, however often asked.
    runtime.reportMovedAway(inventory);
    // The audio system lists Chrome (21) no more: a user moved it away by hand.
    auto& slot1 = system.taps.at(runtime.tapIDs()[0]).processes;
    std::erase(slot1, ObjectID(21));
    runtime.reportMovedAway(inventory);
    runtime.reportMovedAway(inventory);
    // Later updates keep the process selected, and it is not reported again.
    runtime.update({inventory[0], inventory[1], inventory[2]});
    std::erase(slot1, ObjectID(21));
    runtime.reportMovedAway(inventory);
    const std::string said = GetCapturedStderr();
    EXPECT_EQ(said.substr(said.find('\n') + 1),
              "[process-tap] Process 1021 (com.google.Chrome) left slot 1: moved to another "
              "output by hand; it stays out until the capture restarts.\n");
}

TEST_F(TapRuntimeTest, SlotTapFailureNamesTheSlot) {
    system.fault("createTap", 0, 0, -50, 1);
    auto runtime = makeRuntime({"a", "b"});
    EXPECT_EQ(runtime.start(inventory).error().text, "Create process tap for slot 1");
}

TEST_F(TapRuntimeTest, UpdateTouchesOnlyChangedSlotsAndRetriesFailures) {
    auto runtime = makeRuntime({"com.google.Chrome", "com.apple.Safari", "com.apple.Music"});
    ASSERT_TRUE(runtime.start(inventory));
    system.calls.clear();

    // Unchanged, and the same processes in another order: no platform call at all.
    runtime.update(inventory);
    runtime.update({inventory[3], inventory[2], inventory[1], inventory[0]});
    EXPECT_TRUE(system.calls.empty());

    // Safari quits, a Safari helper and a second Music process start; slot 2 keeps failing.
    system.fault("setTapDescription", runtime.tapIDs()[1], 0, -50, 2);
    const std::vector<ProcessInfo> changed = {process(30, "com.apple.Music"), inventory[1],
                                              inventory[2], process(31, "com.apple.Safari.web"),
                                              inventory[3]};
    CaptureStderr();
    runtime.update(changed);
    runtime.update(changed);
    runtime.update(changed);
    EXPECT_EQ(GetCapturedStderr(),
              "[process-tap] Update slot 2 failed (-50); retrying.\n"
              "[process-tap] Update slot 2 failed (-50); retrying.\n");
    EXPECT_EQ(runtime.selectedProcessIDs(),
              (std::vector<std::vector<ObjectID>>{{21, 23}, {31}, {22, 30}}));
    EXPECT_EQ(system.taps.at(runtime.tapIDs()[2]).processes, (std::vector<ObjectID>{30, 22}));
    auto safari = makeDescription(2, {process(31, "com.apple.Safari.web")});
    safari.label = "slot 2 (com.apple.Safari)";
    EXPECT_EQ(system.taps.at(runtime.tapIDs()[1]), safari);
    EXPECT_EQ(system.countCalls("setTapDescription"), 4u);
    EXPECT_EQ(system.countCalls("createTap") + system.countCalls("destroyTap") +
                  system.countCalls("createAggregate") + system.countCalls("destroyAggregate"),
              0u);
}

TEST_F(TapRuntimeTest, StopDestroysDeviceThenTapsLastFirstThenPad) {
    system.addDevice(5, "Mono", "mono", 1);
    auto runtime = makeRuntime({"a", "b", "c"}, "Mono");
    CaptureStderr();
    ASSERT_TRUE(runtime.start(inventory));
    GetCapturedStderr();
    const auto taps = runtime.tapIDs();
    const auto device = runtime.aggregateID();
    const auto pad = runtime.livePadTapID();
    system.calls.clear();
    runtime.stop();
    runtime.stop();
    EXPECT_EQ(system.mutations(),
              (std::vector<std::string>{
                  "destroyAggregate " + std::to_string(device),
                  "destroyTap " + std::to_string(taps[2]), "destroyTap " + std::to_string(taps[1]),
                  "destroyTap " + std::to_string(taps[0]), "destroyTap " + std::to_string(pad)}));
    EXPECT_TRUE(system.taps.empty());
    EXPECT_TRUE(system.aggregates.empty());

    system.calls.clear();
    auto unused = makeRuntime({"a"});
    unused.stop();
    EXPECT_TRUE(system.calls.empty());
}

TEST_F(TapRuntimeTest, StartRecoversBeforeCreatingAnything) {
    system.addAggregate("org.pellimar.application-capture", {{"taps", {{{"uid", "old"}}}}});
    system.addTap("Pellimar application slot 1", "old");
    system.addTap("Pellimar live channel pad", "old-pad");
    CaptureStderr();
    auto runtime = makeRuntime({"a"});
    ASSERT_TRUE(runtime.start(inventory));
    EXPECT_EQ(GetCapturedStderr(), "[process-tap] Recovered 2 orphaned application taps.\n");
    const auto mutations = system.mutations();
    ASSERT_GE(mutations.size(), 4u);
    EXPECT_TRUE(mutations[0].starts_with("destroyAggregate"));
    EXPECT_TRUE(mutations[1].starts_with("destroyTap"));
    EXPECT_TRUE(mutations[2].starts_with("destroyTap"));
    EXPECT_EQ(mutations[3], "createTap 0");
}

}  // namespace
}  // namespace pellimar::process_tap
