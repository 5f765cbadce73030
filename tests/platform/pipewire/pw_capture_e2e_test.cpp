// The capture program and aggregate devices on a private PipeWire with WirePlumber, checked with
// real signals: each channel of a recording is tested for the presence and absence of tones.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/audio_system/audio_system.hpp"
#include "tests/platform/audio_queue/test_support.hpp"
#include "tests/support/pipewire_daemon.hpp"
#include "tests/support/pipewire_recording.hpp"

namespace pellimar::testing {
namespace {

constexpr const char* kCapture = "org.pellimar.application-capture";

class CaptureOnPipeWire : public PipeWireProgramsTest {
  protected:
    void SetUpWithDaemon() override {
        ASSERT_TRUE(addDesktopSpeakers());
        bin_ = daemon_->file("bin");
        std::filesystem::create_directories(bin_);
        for (const char* app :
             {"org.pellimartest.toneA", "org.pellimartest.toneB", "org.pellimartest.toneA.late"}) {
            std::filesystem::copy_file("/usr/bin/pw-cat", bin_ + "/" + app);
        }
        for (int f : {300, 1000, 2000}) {
            ASSERT_TRUE(PipeWireDaemon::run(
                "sox -n -r 48000 -c " + std::string(f == 2000 ? "1" : "2") + " -b 16 '" + tone(f) +
                "' synth 60 sine " + std::to_string(f) + " vol 0.5"));
        }
        ::setenv("PELLIMAR_AUDIO_BACKEND", "pipewire", 1);
    }

    pid_t app(const std::string& name, int frequency) {
        return start({bin_ + "/" + name, "--playback", tone(frequency)}, name + ".log");
    }

    void microphone() { ASSERT_TRUE(startMicrophone(tone(2000))); }

    pid_t startCapture(const std::string& tag) {
        out_ = daemon_->file(tag + ".out");
        err_ = daemon_->file(tag + ".err");
        pid_t pid = -1;
        const std::string command = std::string(PELLIMAR_BIN_DIR) +
                                    "/pellimar-process-tap run --live-input-name 'Test Microphone' "
                                    "org.pellimartest.toneA org.pellimartest.toneB > '" +
                                    out_ + "' 2> '" + err_ + "'";
        pid = start({"/bin/sh", "-c", "exec " + command}, tag + ".log");
        EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
            return slurp(out_).find("\"ok\" : true") != std::string::npos;
        })) << slurp(err_);
        return pid;
    }

    bool ourNodesGone() {
        return !PipeWireDaemon::run("pw-cli ls Node | grep -q 'org\\.pellimar\\.'") &&
               !PipeWireDaemon::run("pw-link -l | grep -q 'org\\.pellimar\\.'");
    }

    bool defaultsUntouched() {
        return PipeWireDaemon::run(
                   "pw-metadata 0 default.audio.sink | grep -q '\"name\":\"speakers\"'") &&
               PipeWireDaemon::run(
                   "pw-metadata 0 default.audio.source | grep -q '\"name\":\"test-mic\"'");
    }

    std::string bin_;
    std::string out_;
    std::string err_;
};

TEST_F(CaptureOnPipeWire, EachChannelHoldsItsSlotAloneAndTappedAppsLeaveTheSpeakers) {
    microphone();
    app("org.pellimartest.toneA", 1000);
    app("org.pellimartest.toneB", 300);
    ASSERT_TRUE(PipeWireDaemon::waitFor([] {
        return links("org.pellimartest.toneA:output_FL", "speakers:playback_FL") &&
               links("org.pellimartest.toneB:output_FL", "speakers:playback_FL");
    }));

    pid_t capture = startCapture("run");
    // Layout: microphone, silent pad, slot 1, then the announcement slot.
    EXPECT_NE(slurp(out_).find("\"channels\" : 6"), std::string::npos) << slurp(out_);
    EXPECT_NE(slurp(err_).find("Padding 1ch live 'Test Microphone' to 2ch"), std::string::npos);
    ASSERT_TRUE(PipeWireDaemon::waitFor([] {
        return links("org.pellimartest.toneA:output_FL",
                     "org.pellimar.tap.pellimar-application-slot-1:input_FL") &&
               links("org.pellimartest.toneB:output_FR",
                     "org.pellimar.tap.pellimar-application-slot-2:input_FR");
    }));

    const Recording r = record(kCapture, 6, 1.5);
    ASSERT_EQ(r.channels, 6);
    EXPECT_GT(toneShare(r, 0, 2000), 0.9);
    EXPECT_LT(rms(r, 1), 1e-4);  // the pad
    for (int c : {2, 3}) {
        EXPECT_GT(toneShare(r, c, 1000), 0.9) << c;
        EXPECT_LT(toneShare(r, c, 300), 0.01) << c;
        EXPECT_LT(toneShare(r, c, 2000), 0.01) << c;
    }
    for (int c : {4, 5}) {
        EXPECT_GT(toneShare(r, c, 300), 0.9) << c;
        EXPECT_LT(toneShare(r, c, 1000), 0.01) << c;
    }
    // Muted when tapped: the speakers hear neither application.
    const Recording speakers = record("speakers", 2, 1.0, true);
    EXPECT_LT(rms(speakers, 0), 1e-3);
    EXPECT_TRUE(defaultsUntouched());

    // A process that starts later joins its slot; one that quits leaves its slot silent.
    app("org.pellimartest.toneA.late", 1000);
    EXPECT_TRUE(PipeWireDaemon::waitFor([] {
        return links("org.pellimartest.toneA.late:output_FL",
                     "org.pellimar.tap.pellimar-application-slot-1:input_FL");
    }));
    PipeWireDaemon::signalAndReap(children_[2], SIGTERM);  // toneB
    EXPECT_TRUE(PipeWireDaemon::waitFor(
        [] { return !PipeWireDaemon::run("pw-cli ls Node | grep -q 'toneB\"'"); }));
    const Recording after = record(kCapture, 6, 1.0);
    EXPECT_LT(rms(after, 4), 1e-4);
    EXPECT_GT(toneShare(after, 2, 1000), 0.9);
    EXPECT_TRUE(defaultsUntouched());

    EXPECT_EQ(PipeWireDaemon::signalAndReap(capture, SIGTERM), 0);
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return ourNodesGone(); }));
    // Audible again: the session manager sent the application back to the speakers.
    EXPECT_TRUE(PipeWireDaemon::waitFor(
        [] { return links("org.pellimartest.toneA:output_FL", "speakers:playback_FL"); }));
    const Recording back = record("speakers", 2, 1.0, true);
    EXPECT_GT(toneShare(back, 0, 1000), 0.5);
}

TEST_F(CaptureOnPipeWire, AKilledRunIsRecoveredByTheNextStart) {
    microphone();
    app("org.pellimartest.toneA", 1000);
    pid_t first = startCapture("first");
    ASSERT_TRUE(PipeWireDaemon::waitFor([] {
        return links("org.pellimartest.toneA:output_FL",
                     "org.pellimar.tap.pellimar-application-slot-1:input_FL");
    }));
    PipeWireDaemon::signalAndReap(first, SIGKILL);
    // The daemon keeps what the killed run made.
    EXPECT_TRUE(PipeWireDaemon::run("pw-cli ls Node | grep -q " + std::string(kCapture)));

    pid_t second = startCapture("second");
    EXPECT_NE(slurp(err_).find("[process-tap] Recovered 3 orphaned application taps."),
              std::string::npos)
        << slurp(err_);
    ASSERT_TRUE(PipeWireDaemon::waitFor([] {
        return links("org.pellimartest.toneA:output_FL",
                     "org.pellimar.tap.pellimar-application-slot-1:input_FL");
    }));
    const Recording r = record(kCapture, 6, 1.0);
    EXPECT_GT(toneShare(r, 2, 1000), 0.9);
    EXPECT_GT(toneShare(r, 0, 2000), 0.9);
    EXPECT_TRUE(defaultsUntouched());
    EXPECT_EQ(PipeWireDaemon::signalAndReap(second, SIGTERM), 0);
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return ourNodesGone(); }));
}

// Runs the output-fabric program; its exit status, standard output in `out`.
int fabric(const std::vector<std::string>& arguments, std::string& out, const std::string& dir) {
    std::string command = std::string(PELLIMAR_BIN_DIR) + "/pellimar-output-fabric";
    for (const auto& a : arguments) {
        command += " '" + a + "'";
    }
    const int status =
        std::system((command + " > '" + dir + "/fabric.out' 2> '" + dir + "/fabric.err'").c_str());
    out = slurp(dir + "/fabric.out") + slurp(dir + "/fabric.err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(CaptureOnPipeWire, TheOutputFabricFeedsItsMembersSideBySide) {
    microphone();
    ASSERT_TRUE(PipeWireDaemon::createNullNode("member-a", "Member A", "Audio/Sink", 2));
    ASSERT_TRUE(PipeWireDaemon::createNullNode("member-b", "Member B", "Audio/Sink", 2));
    const std::string members = R"({"members":[{"stableId":"coreaudio:member-a"},)"
                                R"({"stableId":"coreaudio:member-b"}]})";
    std::string out;
    ASSERT_EQ(fabric({"ensure", members}, out, daemon_->dir()), 0) << out;
    EXPECT_NE(out.find("\"outputChannels\" : 4"), std::string::npos) << out;
    // A second ensure finds the fabric from its composition and keeps it.
    std::string again;
    ASSERT_EQ(fabric({"ensure", members}, again, daemon_->dir()), 0) << again;
    EXPECT_EQ(again, out);
    EXPECT_TRUE(
        PipeWireDaemon::run("test $(pw-cli ls Node | grep -c 'org.pellimar.output-fabric') = 1"));
    EXPECT_TRUE(defaultsUntouched());

    const std::string signal = daemon_->file("four.wav");
    ASSERT_TRUE(PipeWireDaemon::run("sox -n -r 48000 -c 4 -b 16 '" + signal +
                                    "' synth 60 sine 300 sine 700 sine 1100 sine 1900 vol 0.5"));
    pid_t player = start({"/usr/bin/pw-play", "--target", "org.pellimar.output-fabric",
                          "--channels", "4", "--channel-map", "AUX0,AUX1,AUX2,AUX3", signal},
                         "four.log");
    const Recording a = record("member-a", 2, 1.0, true);
    const Recording b = record("member-b", 2, 1.0, true);
    ASSERT_EQ(a.channels, 2);
    ASSERT_EQ(b.channels, 2);
    EXPECT_GT(toneShare(a, 0, 300), 0.9);
    EXPECT_GT(toneShare(a, 1, 700), 0.9);
    EXPECT_GT(toneShare(b, 0, 1100), 0.9);
    EXPECT_GT(toneShare(b, 1, 1900), 0.9);
    PipeWireDaemon::signalAndReap(player, SIGTERM);

    ASSERT_EQ(fabric({"inventory"}, out, daemon_->dir()), 0) << out;
    EXPECT_NE(out.find("coreaudio:org.pellimar.output-fabric"), std::string::npos);
    // The format a node runs with can be set (a change of nothing) and restored; another is
    // refused cleanly and rolled back.
    ASSERT_EQ(
        fabric({"configure",
                R"([{"stableId":"coreaudio:member-a","outputChannels":2,"sampleRate":48000}])"},
               out, daemon_->dir()),
        0)
        << out;
    const auto restore = audio::Value::parse(out).at("restore").dump();
    ASSERT_EQ(fabric({"restore", restore}, out, daemon_->dir()), 0) << out;
    EXPECT_NE(out.find("\"removed\" : false"), std::string::npos);
    EXPECT_EQ(
        fabric({"configure",
                R"([{"stableId":"coreaudio:member-a","outputChannels":2,"sampleRate":44100}])"},
               out, daemon_->dir()),
        1);
    EXPECT_EQ(out,
              "[output-fabric] Set stream format failed (OSStatus 1970171760, fourCC unop).\n");

    ASSERT_EQ(fabric({"remove"}, out, daemon_->dir()), 0) << out;
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return ourNodesGone(); }));
}

}  // namespace
}  // namespace pellimar::testing
