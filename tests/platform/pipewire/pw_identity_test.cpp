// Bundle IDs of real audio clients on a private daemon with its PulseAudio server: every client
// API, and each identity source a desktop or sandbox gives an application.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/pipewire/audio_system.hpp"
#include "platform/pipewire/identity.hpp"
#include "tests/support/pipewire_daemon.hpp"
#include "tests/support/pipewire_fixture.hpp"
#include "tests/support/process_identity.hpp"

namespace pellimar::audio {
namespace {

using testing::AppCgroup;
using testing::FlatpakRoot;
using testing::PipeWireDaemon;
using testing::PrivatePipeWireTest;

class PipeWireIdentityTest : public PrivatePipeWireTest {
  protected:
    static void SetUpTestSuite() {
        if (!startSharedDaemon()) {
            return;
        }
        // pipewire-pulse 0.3.65 checks for its directory, then makes it, and fails when the
        // pactl that polls for it made the directory in between.
        const std::string pulseDir = daemon_->dir() + "/runtime/pulse";
        std::filesystem::create_directories(pulseDir);
        ::chmod(pulseDir.c_str(), 0700);
        pulse_ = daemon_->startPulse();
        sink_ = PipeWireDaemon::createNullNode("identity-speakers", "Speakers", "Audio/Sink", 2);
        tone_ = daemon_->file("tone.wav");
        PipeWireDaemon::run("sox -n -r 48000 -c 2 -b 16 '" + tone_ + "' synth 60 sine 440 vol 0.1");
    }
    void SetUpWithDaemon() override {
        ASSERT_TRUE(pulse_) << "pipewire-pulse did not start:\n"
                            << std::ifstream(daemon_->file("pipewire-pulse.log")).rdbuf();
        ASSERT_TRUE(sink_);
        auto opened = pipewire::PipeWireAudioSystem::open();
        ASSERT_TRUE(opened) << opened.error();
        system_ = std::move(*opened);
    }
    void TearDown() override {
        for (pid_t& pid : children_) {
            PipeWireDaemon::signalAndReap(pid, SIGTERM);
        }
        if (HasFailure()) {
            std::ifstream log(daemon_->file("clients.log"));
            std::cerr << "clients' output:\n" << log.rdbuf();
        }
    }

    pid_t start(const std::vector<std::string>& argv) {
        children_.push_back(PipeWireDaemon::spawn(argv, daemon_->file("clients.log")));
        return children_.back();
    }
    pid_t shell(const std::string& script) { return start({"/bin/sh", "-c", script}); }

    // The bundle ID the process list gives the pid once one of its streams plays.
    std::string bundleIDOf(pid_t pid) {
        std::optional<std::string> id;
        const bool playing = PipeWireDaemon::waitFor([&] {
            id.reset();
            for (ObjectID object : processObjects()) {
                if (scalar(object, kAudioProcessPropertyPID) == std::uint32_t(pid)) {
                    std::optional<std::string> out;
                    system_->getStringProperty(object, {kAudioProcessPropertyBundleID}, out);
                    id = out.value_or("");
                    return scalar(object, kAudioProcessPropertyIsRunning) == 1u;
                }
            }
            return false;
        });
        return playing ? *id : "(not playing: " + id.value_or("not listed") + ")";
    }

    std::vector<ObjectID> processObjects() {
        const AudioObjectPropertyAddress address{kAudioHardwarePropertyProcessObjectList};
        std::uint32_t size = 0;
        system_->getPropertyDataSize(kAudioObjectSystemObject, address, 0, nullptr, size);
        std::vector<ObjectID> ids(size / 4);
        system_->getPropertyData(kAudioObjectSystemObject, address, 0, nullptr, size, ids.data());
        ids.resize(size / 4);
        return ids;
    }
    std::optional<std::uint32_t> scalar(ObjectID object, Selector selector) {
        std::uint32_t value = 0;
        std::uint32_t size = sizeof value;
        if (system_->getPropertyData(object, {selector}, 0, nullptr, size, &value) != 0) {
            return std::nullopt;
        }
        return value;
    }

    // The application ID a client started by this test inherits from our own unit, if any.
    static std::string inheritedUnit() {
        return pipewire::readProcFacts(std::int32_t(::getpid())).unitAppID;
    }
    static std::string orInherited(const std::string& name) {
        const std::string unit = inheritedUnit();
        return unit.empty() ? name : unit;
    }

    static bool pulse_;
    static bool sink_;
    static std::string tone_;
    std::unique_ptr<pipewire::PipeWireAudioSystem> system_;
    std::vector<pid_t> children_;
};

bool PipeWireIdentityTest::pulse_ = false;
bool PipeWireIdentityTest::sink_ = false;
std::string PipeWireIdentityTest::tone_;

TEST_F(PipeWireIdentityTest, EveryClientAPIGivesTheNameOfTheProgramTheUserStarted) {
    // paplay and pw-play are links to pacat and pw-cat: the name started, not the executable's.
    std::map<pid_t, std::string> expected{
        {start({"/usr/bin/paplay", tone_}), "paplay"},
        {start({"/usr/bin/aplay", "-q", "-D", "pipewire", tone_}), "aplay"},
        {start({"/usr/bin/gst-launch-1.0", "-q", "audiotestsrc", "!", "audioconvert", "!",
                "pulsesink"}),
         "gst-launch-1.0"},
        {start({"/usr/bin/gst-launch-1.0", "-q", "audiotestsrc", "!", "audioconvert", "!",
                "pipewiresink"}),
         "gst-launch-1.0"},
        {start({"/usr/bin/pw-play", tone_}), "pw-play"},
    };
    for (const auto& [pid, name] : expected) {
        EXPECT_EQ(bundleIDOf(pid), orInherited(name)) << name;
    }

    // The command-line tool lists them with one bundle ID each.
    const std::string listing = daemon_->file("list.json");
    ASSERT_TRUE(PipeWireDaemon::run("PELLIMAR_AUDIO_BACKEND=pipewire " PELLIMAR_BIN_DIR
                                    "/pellimar-process-tap list > '" +
                                    listing + "'"));
    std::ifstream in(listing);
    const auto listed = nlohmann::json::parse(in, nullptr, false);
    ASSERT_TRUE(listed.is_array());
    std::map<pid_t, int> seen;
    for (const auto& entry : listed) {
        const pid_t pid = entry.value("pid", 0);
        if (expected.contains(pid)) {
            ++seen[pid];
            EXPECT_EQ(entry.value("bundleID", ""), orInherited(expected[pid]));
        }
    }
    for (const auto& [pid, name] : expected) {
        EXPECT_EQ(seen[pid], 1) << name << " in " << listed.dump();
    }
}

TEST_F(PipeWireIdentityTest, ApplicationIDOfAClientOrOfAStreamNamesTheProcess) {
    const pid_t nativeStream =
        start({"/usr/bin/pw-play", "-P", "{ application.id = org.example.NativeStream }", tone_});
    const pid_t pulseStream =
        start({"/usr/bin/paplay", "--property=application.id=org.example.PulseStream", tone_});
    const pid_t pulseClient = shell(
        "PULSE_PROP='application.id=org.example.PulseClient' exec "
        "/usr/bin/paplay '" +
        tone_ + "'");
    EXPECT_EQ(bundleIDOf(nativeStream), "org.example.NativeStream");
    EXPECT_EQ(bundleIDOf(pulseStream), "org.example.PulseStream");
    EXPECT_EQ(bundleIDOf(pulseClient), "org.example.PulseClient");
}

TEST_F(PipeWireIdentityTest, FlatpakAppIDComesBeforeTheApplicationsOwnID) {
    FlatpakRoot root("org.example.Flat");
    if (!root.error().empty()) {
        GTEST_SKIP() << root.error();
    }
    const pid_t native = start(root.wrap(
        {"/usr/bin/pw-play", "-P", "{ application.id = org.example.NativeStream }", tone_}));
    const pid_t pulse = start(root.wrap({"/usr/bin/paplay", tone_}));
    EXPECT_EQ(bundleIDOf(native), "org.example.Flat");
    EXPECT_EQ(bundleIDOf(pulse), "org.example.Flat");
}

TEST_F(PipeWireIdentityTest, DesktopLaunchedApplicationsAreNamedByTheirUnitThenDesktopFile) {
    AppCgroup scope("app-gnome-org.example.Scoped\\x2dTone-" + std::to_string(::getpid()) +
                    ".scope");
    if (!scope.error().empty()) {
        GTEST_SKIP() << scope.error();
    }
    const std::string launched =
        "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/org.example.Launched.desktop "
        "GIO_LAUNCHED_DESKTOP_FILE_PID=$$ exec ";
    const pid_t scoped = shell(scope.enter() + launched + "/usr/bin/paplay '" + tone_ + "'");
    const pid_t scopedWithID = shell(scope.enter() +
                                     "exec /usr/bin/pw-play -P '{ application.id = "
                                     "org.example.NativeStream }' '" +
                                     tone_ + "'");
    const pid_t desktopOnly = shell(launched + "/usr/bin/pw-play '" + tone_ + "'");
    EXPECT_EQ(bundleIDOf(scoped), "org.example.Scoped-Tone");
    EXPECT_EQ(bundleIDOf(scopedWithID), "org.example.NativeStream");
    EXPECT_EQ(bundleIDOf(desktopOnly), orInherited("org.example.Launched"));
}

}  // namespace
}  // namespace pellimar::audio
