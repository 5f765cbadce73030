// The built player against a private PipeWire daemon with WirePlumber: what reaches the sink is
// recorded from its monitor and checked for the tone, whole and alone.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <thread>

#include "platform/pipewire/graph.hpp"
#include "tests/player/e2e_support.hpp"
#include "tests/support/pipewire_continuity.hpp"
#include "tests/support/pipewire_daemon.hpp"
#include "tests/support/pipewire_fixture.hpp"
#include "tests/support/pipewire_monitor.hpp"

namespace pellimar::testing {
namespace {

constexpr const char* kPlayerID = "org.pellimar.player.4";
constexpr int kRate = 48000;
constexpr int kBlock = 480;     // 10 ms: a whole number of 1 kHz periods
constexpr int kQuantum = 1024;  // the private daemon's

class PlayerOnPipeWire : public PrivatePipeWireTest {
  protected:
    void SetUpWithDaemon() override {
        ASSERT_TRUE(addChosenSpeakers());
        auto graph = audio::pipewire::Graph::connect();
        ASSERT_TRUE(graph) << graph.error();
        graph_ = std::move(*graph);
        ::setenv("PELLIMAR_AUDIO_BACKEND", "pipewire", 1);
    }

    void TearDown() override {
        ::unsetenv("PELLIMAR_AUDIO_BACKEND");
        graph_.reset();
        PrivatePipeWireTest::TearDown();
    }

    std::string tone(double seconds) {
        const std::string path = daemon_->file("tone.wav");
        EXPECT_TRUE(PipeWireDaemon::run("sox -n -r 48000 -c 2 -b 16 '" + path + "' synth " +
                                        std::to_string(seconds) + " sine 1000 vol 0.5"));
        return path;
    }

    pid_t startPlayer(const std::string& file) {
        return PipeWireDaemon::spawn({PELLIMAR_BIN_DIR "/pellimar-player", "--file", file},
                                     daemon_->file("player.log"));
    }

    // The player's stream node, if it has one now.
    std::optional<audio::pipewire::Node> playerStream() {
        std::lock_guard guard(graph_->mutex());
        for (const auto& [serial, node] : graph_->state().nodes) {
            if (node.mediaClass() == "Stream/Output/Audio" && node.props.count("application.id") &&
                node.props.at("application.id") == kPlayerID) {
                return node;
            }
        }
        return std::nullopt;
    }

    std::shared_ptr<audio::pipewire::Graph> graph_;
};

// The share of a block's energy at 1 kHz (1 for a pure tone), by the Goertzel recurrence.
double toneShare(const std::vector<double>& x) {
    const double w = 2 * M_PI * 1000.0 / kRate;
    const double coefficient = 2 * std::cos(w);
    double s1 = 0, s2 = 0, energy = 0;
    for (double v : x) {
        const double s = v + coefficient * s1 - s2;
        s2 = s1;
        s1 = s;
        energy += v * v;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return energy > 0 ? 2 * power / (double(x.size()) * energy) : 0;
}

TEST_F(PlayerOnPipeWire, PlaysAToneToTheSinkWholeAndAloneWithItsApplicationID) {
    const std::string file = tone(2.0);
    MonitorRecorder recorder(*graph_, "speakers", 30);
    ASSERT_TRUE(PipeWireDaemon::waitFor([&] { return recorder.running(); }));

    pid_t player = startPlayer(file);
    ASSERT_GT(player, 0);
    std::optional<audio::pipewire::Node> stream;
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return (stream = playerStream()).has_value(); }));
    EXPECT_TRUE(PipeWireDaemon::waitFor([] {
        return PipeWireDaemon::run(std::string("pw-link -l | grep -A3 '^") + kPlayerID +
                                   ":output_FL' | grep -q 'speakers:playback_FL'");
    }));
    int status = -1;
    ASSERT_TRUE(PipeWireDaemon::waitFor(
        [&] { return ::waitpid(player, &status, WNOHANG) == player; }, std::chrono::seconds(60)));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << readText(daemon_->file("player.log"));
    const std::vector<float> recorded = recorder.stop();
    std::vector<double> left;
    for (std::size_t i = 0; i < recorded.size(); i += 2) {
        left.push_back(recorded[i]);
    }
    const std::size_t blocks = left.size() / kBlock;
    std::vector<double> rms(blocks), share(blocks);
    double loudest = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        std::vector<double> x(left.begin() + std::ptrdiff_t(b * kBlock),
                              left.begin() + std::ptrdiff_t((b + 1) * kBlock));
        double e = 0;
        for (double v : x) {
            e += v * v;
        }
        rms[b] = std::sqrt(e / kBlock);
        share[b] = toneShare(x);
        loudest = std::max(loudest, rms[b]);
    }
    ASSERT_GT(loudest, 0.01) << "nothing reached the sink";
    auto isTone = [&](std::size_t b) { return rms[b] > 0.25 * loudest; };
    std::size_t first = blocks, last = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        if (isTone(b)) {
            first = std::min(first, b);
            last = b;
        }
    }
    ASSERT_LT(first, blocks);
    // From its first to its last buffer: all of the tone, no gap longer than a quantum.
    EXPECT_GE((last - first + 1) * kBlock, std::size_t(2 * kRate - kQuantum));
    std::size_t gap = 0;
    for (std::size_t b = first; b <= last; ++b) {
        gap = isTone(b) ? 0 : gap + kBlock;
        EXPECT_LE(gap, std::size_t(kQuantum)) << "gap at block " << b;
        if (b > first && b < last) {
            EXPECT_GT(share[b], 0.9) << "block " << b << " is not the tone alone";
        }
    }
    // And nothing else: silence before and after.
    for (std::size_t b = 0; b < blocks; ++b) {
        if (b + 1 < first || b > last + 1) {
            EXPECT_LT(rms[b], 1e-3) << "sound outside the tone at block " << b;
        }
    }
}

TEST_F(PlayerOnPipeWire, ATerminatedPlayerLeavesNoStreamBehind) {
    const std::string file = tone(30.0);
    pid_t player = startPlayer(file);
    ASSERT_GT(player, 0);
    ASSERT_TRUE(PipeWireDaemon::waitFor([&] { return playerStream().has_value(); }));
    const int status = PipeWireDaemon::signalAndReap(player, SIGTERM);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return !playerStream().has_value(); }));
}

// A live stream never ends by itself, so playing on into nothing would keep the player up for
// good: it ends with an error its controller can act on, long before the file's 30 seconds.
TEST_F(PlayerOnPipeWire, ADaemonKilledMidPlayEndsThePlayerWithAnError) {
    const std::string file = tone(30.0);
    pid_t player = startPlayer(file);
    ASSERT_GT(player, 0);
    ASSERT_TRUE(PipeWireDaemon::waitFor([&] { return playerStream().has_value(); }));
    daemon_->killDaemon();
    int status = -1;
    ASSERT_TRUE(PipeWireDaemon::waitFor(
        [&] { return ::waitpid(player, &status, WNOHANG) == player; }, std::chrono::seconds(20)))
        << "the player played on without its daemon";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::string log = readText(daemon_->file("player.log"));
    EXPECT_NE(log.find("lost the connection"), std::string::npos) << log;
    EXPECT_NE(log.find("Audio output stopped: the audio server went away."), std::string::npos)
        << log;
}

// At the graph clocks desktops run, forced as their clients force them: the tone whole, with no
// gap and no phase jump, at the clock the graph really ran. The gain control is left out: this
// judges the output path.
class PlayerContinuity : public PlayerOnPipeWire,
                         public ::testing::WithParamInterface<GraphClock> {};

TEST_P(PlayerContinuity, PlaysAToneWholeWithoutGapOrJump) {
    ASSERT_TRUE(forceGraphClock(GetParam()));
    const std::string file = tone(2.0);
    MonitorRecorder recorder(*graph_, "speakers", 30);
    ASSERT_TRUE(PipeWireDaemon::waitFor([&] { return recorder.running(); }));
    ::setenv("PELLIMAR_PLAYER_AGC_BYPASS", "1", 1);
    ::setenv("PELLIMAR_LOG", "info", 1);
    pid_t player = startPlayer(file);
    ::unsetenv("PELLIMAR_PLAYER_AGC_BYPASS");
    ::unsetenv("PELLIMAR_LOG");
    ASSERT_GT(player, 0);
    int status = -1;
    ASSERT_TRUE(PipeWireDaemon::waitFor(
        [&] { return ::waitpid(player, &status, WNOHANG) == player; }, std::chrono::seconds(60)));
    const std::string log = readText(daemon_->file("player.log"));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log;
    // The log names the quantum the graph asks the stream for (at 44.1 kHz, resampled, it varies).
    if (GetParam().rate == kRate) {
        EXPECT_NE(log.find("[pellimar-player] Output quantum: " +
                           std::to_string(GetParam().quantum) + " frames.\n"),
                  std::string::npos)
            << log;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<float> recorded = recorder.stop();
    EXPECT_EQ(heardContinuously(recorder, recorded, GetParam(), std::size_t(2 * kRate)), "");
}

INSTANTIATE_TEST_SUITE_P(GraphClocks, PlayerContinuity, ::testing::ValuesIn(desktopClocks()),
                         [](const auto& info) { return clockName(info.param); });

TEST(PlayerWithoutPipeWire, FailsWithAnErrorStatusWhenNoDaemonRuns) {
    PELLIMAR_REQUIRE_PIPEWIRE();
    TempDir empty;
    const std::string tonePath = empty / "tone.wav";
    ASSERT_TRUE(PipeWireDaemon::run("sox -n -r 48000 -c 2 -b 16 '" + tonePath +
                                    "' synth 0.5 sine 1000 vol 0.5"));
    const std::string log = empty / "player.log";
    pid_t player = PipeWireDaemon::spawn(
        {"/usr/bin/env", "XDG_RUNTIME_DIR=" + empty.path(), "PELLIMAR_AUDIO_BACKEND=pipewire",
         PELLIMAR_BIN_DIR "/pellimar-player", "--file", tonePath},
        log);
    int status = -1;
    ASSERT_TRUE(PipeWireDaemon::waitFor(
        [&] { return ::waitpid(player, &status, WNOHANG) == player; }, std::chrono::seconds(60)));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << readText(log);
    EXPECT_NE(readText(log).find("AudioQueueNewOutput failed"), std::string::npos) << readText(log);
}

}  // namespace
}  // namespace pellimar::testing
