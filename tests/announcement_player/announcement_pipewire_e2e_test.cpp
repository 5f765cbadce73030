// The built announcement player on a private PipeWire daemon with WirePlumber, picked up by the
// capture program's announcement slot: what the capture device and the speakers carry is recorded
// and checked per channel for the player's tone and another application's.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "tests/support/pipewire_daemon.hpp"
#include "tests/support/pipewire_recording.hpp"

namespace pellimar::testing {
namespace {

constexpr const char* kCapture = "org.pellimar.application-capture";
constexpr const char* kPlayer = "org.pellimar.announcement-player";
constexpr const char* kOther = "org.pellimartest.music";

// The tone's level is 0.5 / sqrt(2); a loaded machine may drop a quantum, which only lowers it.
void expectLevelOfTheTone(double level) {
    EXPECT_GT(level, 0.2);
    EXPECT_LT(level, 0.37);
}

class AnnouncementOnPipeWire : public PipeWireProgramsTest {
  protected:
    void SetUpWithDaemon() override {
        ASSERT_TRUE(addChosenSpeakers());
        std::filesystem::copy_file("/usr/bin/pw-cat", daemon_->file(kOther));
        for (int f : {300, 1000}) {
            ASSERT_TRUE(PipeWireDaemon::run("sox -n -r 48000 -c 2 -b 16 '" + tone(f) +
                                            "' synth 60 sine " + std::to_string(f) + " vol 0.5"));
        }
        ::setenv("PELLIMAR_AUDIO_BACKEND", "pipewire", 1);
    }

    // The capture program with the announcement slot last; its JSON once it runs.
    nlohmann::json startCapture(const std::vector<std::string>& patterns) {
        out_ = daemon_->file("capture.out");
        std::string command = std::string(PELLIMAR_BIN_DIR) + "/pellimar-process-tap run";
        for (const auto& p : patterns) {
            command += " " + p;
        }
        start({"/bin/sh", "-c",
               "exec " + command + " > '" + out_ + "' 2> '" + daemon_->file("capture.err") + "'"},
              "capture.log");
        EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
            return slurp(out_).find("\"ok\" : true") != std::string::npos;
        })) << slurp(daemon_->file("capture.err"));
        return nlohmann::json::parse(slurp(out_), nullptr, false);
    }

    // Starts the player and waits until its tone fills the capture device's last channel: it
    // plays only once its tap lists it. The player gives up when that takes over 2 s, which a
    // sanitizer build sharing two cores with other suites' daemons has been seen to need; that
    // budget is the simulated suite's subject and the routing is this one's, so a player that
    // gave up is started again, twice at most, and says so in the test's output.
    pid_t startPlayerHeardOnCapture(int channels) {
        pid_t player = -1;
        for (int attempt = 1; attempt <= 3; ++attempt) {
            playerLog_ = "player-" + std::to_string(attempt) + ".log";
            player = start({PELLIMAR_BIN_DIR "/pellimar-announcement-player", "--file", tone(1000),
                            "--fade-in-ms", "20"},
                           playerLog_);
            bool gaveUp = false;
            const bool heard = PipeWireDaemon::waitFor([&] {
                gaveUp =
                    slurp(daemon_->file(playerLog_)).find("did not attach") != std::string::npos;
                if (gaveUp) {
                    return true;
                }
                const Recording r = record(kCapture, channels, 1.0);
                return r.channels == channels && toneShare(r, channels - 1, 1000) > 0.9;
            });
            if (heard && !gaveUp) {
                return player;
            }
            if (!gaveUp) {
                break;
            }
            std::fprintf(stderr, "player attempt %d: capture did not attach in time\n", attempt);
            PipeWireDaemon::signalAndReap(player, SIGTERM);
        }
        ADD_FAILURE() << "the player's tone never reached the capture device\n"
                      << slurp(daemon_->file(playerLog_));
        return player;
    }

    // Ends the player mid-play: status 0 and nothing of it left in the graph.
    void terminatePlayer(pid_t& player) {
        EXPECT_EQ(PipeWireDaemon::signalAndReap(player, SIGTERM), 0)
            << slurp(daemon_->file(playerLog_));
        EXPECT_TRUE(PipeWireDaemon::waitFor([] { return !playerNodeExists(); }));
        EXPECT_FALSE(PipeWireDaemon::run(std::string("pw-link -l | grep -q '") + kPlayer + "'"));
    }

    static bool playerNodeExists() {
        // By node name: the announcement slot's tap names the player's pattern in its description.
        return PipeWireDaemon::run(std::string("pw-cli ls Node | grep -q 'node.name = \"") +
                                   kPlayer + "\"'");
    }

    std::string out_;
    std::string playerLog_ = "player-1.log";
};

TEST_F(AnnouncementOnPipeWire, OneShotToneIsMutedWhileCapturedThenHeardAloneOnTheSpeakers) {
    const nlohmann::json capture = startCapture({kPlayer});
    ASSERT_TRUE(capture.is_object()) << slurp(out_);
    const int channels = capture.value("channels", 0);
    ASSERT_EQ(capture.value("announcementChannels", 0), 2) << capture.dump();
    pid_t player = startPlayerHeardOnCapture(channels);
    // Muted when tapped: while captured, the speakers do not hear it.
    EXPECT_LT(rms(record("speakers", 2, 1.0, true), 0), 1e-4);

    // Without the capture program the session manager sends it back to the speakers.
    EXPECT_EQ(PipeWireDaemon::signalAndReap(children_[0], SIGTERM), 0);
    Recording speakers;
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
        speakers = record("speakers", 2, 1.0, true);
        return toneShare(speakers, 0, 1000) > 0.9;
    }));
    speakers = record("speakers", 2, 1.0, true);
    for (int c : {0, 1}) {
        EXPECT_GT(toneShare(speakers, c, 1000), 0.99) << c;
        expectLevelOfTheTone(rms(speakers, c));
    }
    terminatePlayer(player);
}

TEST_F(AnnouncementOnPipeWire, TheToneReachesTheAnnouncementChannelsAndOnlyThose) {
    start({daemon_->file(kOther), "--playback", tone(300)}, "music.log");
    ASSERT_TRUE(PipeWireDaemon::waitFor(
        [] { return links(std::string(kOther) + ":output_FL", "speakers:playback_FL"); }));
    const nlohmann::json capture = startCapture({kOther, kPlayer});
    ASSERT_TRUE(capture.is_object()) << slurp(out_);
    const int channels = capture.value("channels", 0);
    const int announcement = capture.value("announcementChannels", 0);
    ASSERT_EQ(announcement, 2) << capture.dump();
    ASSERT_GT(channels, announcement);

    pid_t player = startPlayerHeardOnCapture(channels);
    const Recording r = record(kCapture, channels, 1.0);
    ASSERT_EQ(r.channels, channels);
    // The announcement slot is last; the other slot carries the other application alone.
    for (int c = 0; c < channels; ++c) {
        const bool isAnnouncement = c >= channels - announcement;
        EXPECT_GT(toneShare(r, c, isAnnouncement ? 1000 : 300), 0.99) << c;
        EXPECT_LT(toneShare(r, c, isAnnouncement ? 300 : 1000), 0.01) << c;
        if (isAnnouncement) {
            expectLevelOfTheTone(rms(r, c));
        }
    }
    EXPECT_LT(rms(record("speakers", 2, 1.0, true), 0), 1e-4);
    terminatePlayer(player);
    // Its slot falls silent; the other application goes on.
    const Recording after = record(kCapture, channels, 1.0);
    EXPECT_LT(rms(after, channels - 1), 1e-4);
    EXPECT_GT(toneShare(after, 0, 300), 0.99);
}

}  // namespace
}  // namespace pellimar::testing
