#pragma once
// Records nodes of a private PipeWire daemon with pw-record and measures tones per channel.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/platform/audio_queue/test_support.hpp"
#include "tests/support/pipewire_daemon.hpp"
#include "tests/support/pipewire_fixture.hpp"

namespace pellimar::testing {

// The median over 10 ms blocks of one frequency's share of a channel's energy (1 for a pure tone).
// Blocks hold a whole number of periods of every test tone; silent blocks do not count.
inline double toneShare(const Recording& r, int channel, double frequency) {
    constexpr std::size_t kBlock = 480;
    const double w = 2 * M_PI * frequency / r.sampleRate;
    const double coefficient = 2 * std::cos(w);
    const std::size_t frames = r.samples.size() / std::size_t(r.channels);
    std::vector<double> shares;
    for (std::size_t start = 0; start + kBlock <= frames; start += kBlock) {
        double s1 = 0, s2 = 0, energy = 0;
        for (std::size_t f = start; f < start + kBlock; ++f) {
            const double v =
                r.samples[f * std::size_t(r.channels) + std::size_t(channel)] / 32768.0;
            const double s = v + coefficient * s1 - s2;
            s2 = s1;
            s1 = s;
            energy += v * v;
        }
        if (energy > 1e-6) {
            const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
            shares.push_back(2 * power / (double(kBlock) * energy));
        }
    }
    if (shares.empty()) {
        return 0;
    }
    std::nth_element(shares.begin(), shares.begin() + long(shares.size() / 2), shares.end());
    return shares[shares.size() / 2];
}

// A channel's level, leaving out the first quarter second while links settle.
inline double rms(const Recording& r, int channel) {
    double energy = 0;
    std::size_t n = 0;
    for (std::size_t i = std::size_t(r.sampleRate / 4) * r.channels + channel; i < r.samples.size();
         i += std::size_t(r.channels), ++n) {
        energy += (r.samples[i] / 32768.0) * (r.samples[i] / 32768.0);
    }
    return n ? std::sqrt(energy / double(n)) : 0;
}

inline bool links(const std::string& from, const std::string& to) {
    return PipeWireDaemon::run("pw-link -l | grep -A8 '^" + from + "' | grep -q '|-> " + to + "'");
}

// Records `seconds` of a node into `path`: its output, or with `monitor` what a sink plays.
inline Recording recordNode(const std::string& path, const std::string& log,
                            const std::string& target, int channels, double seconds,
                            bool monitor = false) {
    std::string map;
    for (int i = 0; i < channels; ++i) {
        map += (i ? ",AUX" : "AUX") + std::to_string(i);
    }
    std::vector<std::string> argv = {"/usr/bin/pw-record",
                                     "--target",
                                     target,
                                     "--rate",
                                     "48000",
                                     "--format",
                                     "s16",
                                     "--channels",
                                     std::to_string(channels)};
    if (monitor) {
        argv.insert(argv.end(), {"-P", "{ stream.capture.sink = true }"});
    } else {
        argv.insert(argv.end(), {"--channel-map", map});
    }
    argv.push_back(path);
    pid_t recorder = PipeWireDaemon::spawn(argv, log);
    const auto bytes = std::uintmax_t(seconds * 48000 * 2 * channels);
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
        std::error_code error;
        return std::filesystem::file_size(path, error) > bytes && !error;
    }));
    PipeWireDaemon::signalAndReap(recorder, SIGINT);
    return readRecording(path);
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A test with a private daemon of its own and the programs it starts, which end with it.
class PipeWireProgramsTest : public PrivatePipeWireTest {
  protected:
    void TearDown() override {
        // The last started ends first.
        while (!children_.empty()) {
            PipeWireDaemon::signalAndReap(children_.back(), SIGTERM);
            children_.pop_back();
        }
        ::unsetenv("PELLIMAR_AUDIO_BACKEND");
        PrivatePipeWireTest::TearDown();
    }

    std::string tone(int frequency) { return daemon_->file(std::to_string(frequency) + ".wav"); }

    // Speakers of normal priority, as on a desktop; true once they are the default sink.
    static bool makeSpeakers() {
        return addDesktopSpeakers() && PipeWireDaemon::waitFor([] {
                   return PipeWireDaemon::run(
                       "pw-metadata 0 default.audio.sink | grep -q '\"name\":\"speakers\"'");
               });
    }

    // "Test Microphone" (test-mic), a normal-priority source playing a mono file; true once its
    // port is there.
    bool startMicrophone(const std::string& file) {
        start({"/usr/bin/pw-play", "-P",
               "{ media.class = Audio/Source node.name = test-mic node.description = \"Test "
               "Microphone\" priority.session = 2000 }",
               file},
              "mic.log");
        return PipeWireDaemon::waitFor(
            [] { return PipeWireDaemon::run("pw-link -o | grep -q '^test-mic:capture_MONO'"); });
    }

    pid_t start(const std::vector<std::string>& argv, const std::string& log) {
        pid_t pid = PipeWireDaemon::spawn(argv, daemon_->file(log));
        EXPECT_GT(pid, 0);
        children_.push_back(pid);
        return pid;
    }

    // Signals a child this test started and reaps it (signal 0: waits for it to end by itself);
    // its wait status.
    int reap(pid_t pid, int signal) {
        auto it = std::find(children_.begin(), children_.end(), pid);
        return it == children_.end() ? -1 : PipeWireDaemon::signalAndReap(*it, signal);
    }

    // Records `seconds` of a node: its output, or with `monitor` what a sink plays.
    Recording record(const std::string& target, int channels, double seconds,
                     bool monitor = false) {
        return recordNode(daemon_->file("rec-" + std::to_string(recordings_++) + ".wav"),
                          daemon_->file("recorder.log"), target, channels, seconds, monitor);
    }

    std::vector<pid_t> children_;
    int recordings_ = 0;
};

}  // namespace pellimar::testing
