// The built announcement player on a private PipeWire daemon with WirePlumber at the graph clocks
// desktops run (forced as their clients force them), judged by what reached the speakers: a clip
// plays whole, without a gap or a phase jump. And what becomes of it when the daemon goes,
// or when there is no sink at all.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/pipewire/graph.hpp"
#include "tests/announcement_player/e2e_support.hpp"
#include "tests/support/pipewire_continuity.hpp"
#include "tests/support/pipewire_daemon.hpp"
#include "tests/support/pipewire_monitor.hpp"
#include "tests/support/pipewire_recording.hpp"
#include "tests/support/pipewire_tap.hpp"

namespace pellimar::testing {
namespace {

using nlohmann::json;

constexpr const char* kPlayer = "org.pellimar.announcement-player";
// The capture program's only slot, the announcement slot, is slot 1.
constexpr const char* kTap = "org.pellimar.tap.pellimar-application-slot-1";
constexpr double kClipSeconds = 2.0;
constexpr std::size_t kClipFrames = 96000;

// One daemon and its speakers for the whole suite; each test forces its graph clock, and a slot
// tap lists the player without moving it off the speakers.
class AnnouncementContinuity : public PrivatePipeWireTest,
                               public ::testing::WithParamInterface<GraphClock> {
  protected:
    static void SetUpTestSuite() {
        if (!startSharedDaemon()) {
            return;
        }
        addChosenSpeakers();
        ::setenv("PELLIMAR_AUDIO_BACKEND", "pipewire", 1);
        clip_ = daemon_->file("clip.wav");
        PipeWireDaemon::run("sox -n -r 48000 -c 2 -b 16 '" + clip_ + "' synth " +
                            std::to_string(kClipSeconds) + " sine 1000 vol 0.5");
    }
    static void TearDownTestSuite() {
        ::unsetenv("PELLIMAR_AUDIO_BACKEND");
        PrivatePipeWireTest::TearDownTestSuite();
    }

    void SetUpWithDaemon() override {
        ASSERT_TRUE(forceGraphClock(GetParam()));
        auto graph = audio::pipewire::Graph::connect();
        ASSERT_TRUE(graph) << graph.error();
        graph_ = std::move(*graph);
    }
    void TearDown() override {
        graph_.reset();
        if (daemon_) {
            releaseGraphClock();
        }
    }

    std::string tapName() { return "test-slot-tap-" + std::to_string(++taps_); }
    static inline int taps_ = 0;
    static inline std::string clip_;
    std::shared_ptr<audio::pipewire::Graph> graph_;
};

TEST_P(AnnouncementContinuity, ServiceClipPlaysWholeWithoutGapOrJump) {
    const std::string socket = daemon_->file("control.sock");
    std::filesystem::remove(socket);
    ControlSocket control(socket);
    pid_t player = PipeWireDaemon::spawn(
        {PELLIMAR_BIN_DIR "/pellimar-announcement-player", "--service-socket", socket},
        daemon_->file("service.log"));
    SlotTapFor tap(*graph_, player, tapName());
    ASSERT_TRUE(control.accept());
    EXPECT_EQ(control.event().value("event", ""), "hello");
    ASSERT_EQ(control.event().value("event", ""), "ready")
        << readText(daemon_->file("service.log"));
    ASSERT_TRUE(PipeWireDaemon::waitFor(
        [] { return links(std::string(kPlayer) + ":output_FL", "speakers:playback_FL"); }));
    MonitorRecorder recorder(*graph_, "speakers", 3 * kClipSeconds + 2);
    ASSERT_TRUE(PipeWireDaemon::waitFor([&] { return recorder.running(); }));

    control.send({{"command", "load"}, {"id", "c1"}, {"filePath", clip_}});
    EXPECT_EQ(control.event(), json({{"event", "loaded"}, {"id", "c1"}, {"frames", kClipFrames}}));
    control.send({{"command", "play"}, {"id", "p1"}, {"clip", "c1"}});
    EXPECT_EQ(control.event(), json({{"event", "playing"}, {"id", "p1"}}));
    EXPECT_EQ(control.event(), json({{"event", "completed"}, {"id", "p1"}, {"stopped", false}}));
    // The clip's end is heard at most the queue's lead after "completed".
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::vector<float> recorded = recorder.stop();
    control.closeConnection();
    EXPECT_EQ(PipeWireDaemon::signalAndReap(player, 0), 0);
    EXPECT_EQ(heardContinuously(recorder, recorded, GetParam(), kClipFrames), "");
}

TEST_P(AnnouncementContinuity, OneShotFilePlaysWholeWithoutGapOrJump) {
    MonitorRecorder recorder(*graph_, "speakers", 3 * kClipSeconds + 4);
    ASSERT_TRUE(PipeWireDaemon::waitFor([&] { return recorder.running(); }));
    pid_t player =
        PipeWireDaemon::spawn({PELLIMAR_BIN_DIR "/pellimar-announcement-player", "--file", clip_},
                              daemon_->file("oneshot.log"));
    SlotTapFor tap(*graph_, player, tapName());
    int status = -1;
    ASSERT_TRUE(PipeWireDaemon::waitFor(
        [&] { return ::waitpid(player, &status, WNOHANG) == player; }, std::chrono::seconds(60)));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << readText(daemon_->file("oneshot.log"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<float> recorded = recorder.stop();
    EXPECT_EQ(heardContinuously(recorder, recorded, GetParam(), kClipFrames), "");
}

INSTANTIATE_TEST_SUITE_P(GraphClocks, AnnouncementContinuity, ::testing::ValuesIn(desktopClocks()),
                         [](const auto& info) { return clockName(info.param); });

// Each with a daemon of its own, which the test may kill.
class AnnouncementWithoutItsDaemon : public PipeWireProgramsTest {
  protected:
    void SetUpWithDaemon() override {
        ASSERT_TRUE(PipeWireDaemon::run("sox -n -r 48000 -c 2 -b 16 '" + tone(1000) +
                                        "' synth 30 sine 1000 vol 0.5"));
        ::setenv("PELLIMAR_AUDIO_BACKEND", "pipewire", 1);
    }

    void withSpeakers() { ASSERT_TRUE(addChosenSpeakers()); }
    void startCapture() {
        start({PELLIMAR_BIN_DIR "/pellimar-process-tap", "run", kPlayer}, "capture.log");
        ASSERT_TRUE(PipeWireDaemon::waitFor([] {
            return PipeWireDaemon::run(std::string("pw-cli ls Node | grep -q '") + kTap + "'");
        }));
    }
    // The service, connected and ready.
    pid_t startService(ControlSocket& control, const std::string& socket) {
        pid_t player =
            start({PELLIMAR_BIN_DIR "/pellimar-announcement-player", "--service-socket", socket},
                  "service.log");
        EXPECT_TRUE(control.accept());
        EXPECT_EQ(control.event().value("event", ""), "hello");
        EXPECT_EQ(control.event().value("event", ""), "ready")
            << slurp(daemon_->file("service.log"));
        return player;
    }
    int waitExit(pid_t pid) {
        int status = -1;
        EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                                            std::chrono::seconds(30)))
            << "still running without its daemon";
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            std::replace(children_.begin(), children_.end(), pid, pid_t(-1));
        }
        return status;
    }
    // The player's own lines on standard error.
    std::size_t playerLines(const std::string& log) {
        std::size_t n = 0;
        std::istringstream in(slurp(daemon_->file(log)));
        for (std::string line; std::getline(in, line);) {
            n += line.starts_with("[announcement-player] ") ? 1 : 0;
        }
        return n;
    }
};

TEST_F(AnnouncementWithoutItsDaemon, TheServiceReportsThePlayInFlightAndExits) {
    withSpeakers();
    startCapture();
    const std::string socket = daemon_->file("control.sock");
    ControlSocket control(socket);
    pid_t player = startService(control, socket);
    control.send({{"command", "load"}, {"id", "c1"}, {"filePath", tone(1000)}});
    EXPECT_EQ(control.event().value("event", ""), "loaded");
    control.send({{"command", "play"}, {"id", "p1"}, {"clip", "c1"}});
    EXPECT_EQ(control.event(), json({{"event", "playing"}, {"id", "p1"}}));
    const std::size_t linesBefore = playerLines("service.log");
    daemon_->killDaemon();
    const json error = control.event(std::chrono::seconds(30));
    ASSERT_TRUE(error.is_object()) << "the play in flight was never answered";
    EXPECT_EQ(error.value("event", ""), "error") << error.dump();
    EXPECT_EQ(error.value("id", "-"), "p1") << error.dump();
    EXPECT_TRUE(control.ended());
    const int status = waitExit(player);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(playerLines("service.log"), linesBefore + 1) << slurp(daemon_->file("service.log"));
}

TEST_F(AnnouncementWithoutItsDaemon, TheOneShotModeExitsWithAnError) {
    withSpeakers();
    startCapture();
    pid_t player =
        start({PELLIMAR_BIN_DIR "/pellimar-announcement-player", "--file", tone(1000)}, "one.log");
    ASSERT_TRUE(PipeWireDaemon::waitFor([] {
        return PipeWireDaemon::run(std::string("pw-link -l | grep -q '^") + kPlayer + "'");
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    daemon_->killDaemon();
    const int status = waitExit(player);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << "\n"
                                                               << slurp(daemon_->file("one.log"));
}

// No sink at all: nothing drives the stream, and every play is still answered.
TEST_F(AnnouncementWithoutItsDaemon, WithoutASinkEveryPlayIsAnswered) {
    startCapture();
    const std::string socket = daemon_->file("control.sock");
    ControlSocket control(socket);
    pid_t player = startService(control, socket);
    const std::string shortClip = daemon_->file("short.wav");
    ASSERT_TRUE(PipeWireDaemon::run("sox -n -r 48000 -c 2 -b 16 '" + shortClip +
                                    "' synth 0.3 sine 1000 vol 0.5"));
    for (const std::string id : {"p1", "p2"}) {
        control.send({{"command", "load"}, {"id", "c1"}, {"filePath", shortClip}});
        EXPECT_EQ(control.event().value("event", ""), "loaded");
        control.send({{"command", "play"}, {"id", id}, {"clip", "c1"}});
        EXPECT_EQ(control.event(), json({{"event", "playing"}, {"id", id}}));
        const json answer = control.event(std::chrono::seconds(30));
        ASSERT_TRUE(answer.is_object()) << "play " << id << " was never answered";
        EXPECT_EQ(answer.value("id", ""), id) << answer.dump();
        EXPECT_TRUE(answer.value("event", "") == "completed" ||
                    answer.value("event", "") == "error")
            << answer.dump();
    }
    control.closeConnection();
    EXPECT_EQ(waitExit(player), 0);
}

}  // namespace
}  // namespace pellimar::testing
