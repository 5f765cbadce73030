#pragma once
// A simulated machine of its own for in-process tests of the announcement player, and reading
// back the float recordings of its outputs.

#include <sndfile.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/run_loop/run_loop.hpp"
#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "tests/support/temp_dir.hpp"

namespace pellimar::testing {

namespace sim = audio::sim;

class SimMachine {
  public:
    explicit SimMachine(sim::WorldBuilder world = sim::WorldBuilder::defaultMachine()) {
        EXPECT_TRUE(world.write(dir.world()));
        auto opened = sim::SimAudioSystem::open(dir.world());
        EXPECT_TRUE(opened);
        system = std::move(opened).value();
    }

    sim::WorldControl control() { return sim::WorldControl(dir.world()); }

    // The process objects of `pid`, in list order.
    std::vector<audio::ObjectID> processesOf(pid_t pid) {
        std::vector<audio::ObjectID> ids;
        auto world = control().read();
        for (const auto& p : world->processes) {
            if (p.pid == pid) {
                ids.push_back(p.id);
            }
        }
        return ids;
    }

    // A tap named `name` listing `processes`, as the capture program would make it.
    audio::ObjectID addTap(std::vector<audio::ObjectID> processes,
                           std::string name = "Pellimar application slot 2") {
        audio::ObjectID id = 0;
        EXPECT_TRUE(control().update([&](sim::World& world) {
            sim::Tap tap;
            tap.id = id = world.allocateID();
            tap.uid = sim::newTapUID();
            tap.description.name = std::move(name);
            tap.description.processes = std::move(processes);
            tap.format = sim::tapFormat(false);
            world.taps.push_back(tap);
        }));
        return id;
    }

    void removeTap(audio::ObjectID tap) {
        EXPECT_TRUE(control().update([&](sim::World& world) {
            std::erase_if(world.taps, [&](const sim::Tap& t) { return t.id == tap; });
        }));
    }

    TempDir dir;
    std::unique_ptr<audio::AudioSystem> system;
};

// Runs the loop until `done` holds; false when it did not within a generous limit.
inline bool runLoopUntil(RunLoop& loop, const std::function<bool()>& done,
                         std::chrono::seconds limit = std::chrono::seconds(60)) {
    bool expired = false;
    auto guard = loop.scheduleOnce(limit, [&] {
        expired = true;
        loop.stop();
    });
    loop.runUntil([&] { return expired || done(); });
    return done();
}

struct FloatRecording {
    int sampleRate = 0;
    std::vector<float> samples;  // interleaved stereo
};

inline FloatRecording readFloatRecording(const std::string& path) {
    FloatRecording r;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        return r;
    }
    r.sampleRate = info.samplerate;
    r.samples.resize(std::size_t(info.frames * info.channels));
    r.samples.resize(std::size_t(sf_readf_float(file, r.samples.data(), info.frames)) *
                     std::size_t(info.channels));
    sf_close(file);
    return r;
}

// Index of the first frame that is not silent, or the frame count.
inline std::size_t firstSoundFrame(const std::vector<float>& samples, std::size_t from = 0) {
    std::size_t frame = from;
    while (2 * frame + 1 < samples.size() && samples[2 * frame] == 0 &&
           samples[2 * frame + 1] == 0) {
        ++frame;
    }
    return frame;
}

// The frames that are not silent, in order: what was heard with the starvation gaps of a busy
// machine (recorded as silence) and the silences between clips taken out.
inline std::vector<float> soundFrames(const std::vector<float>& samples) {
    std::vector<float> kept;
    for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
        if (samples[i] != 0 || samples[i + 1] != 0) {
            kept.push_back(samples[i]);
            kept.push_back(samples[i + 1]);
        }
    }
    return kept;
}

// Checks that `sound` holds, from frame `at`, a stop ramp from the frame before it: 239 frames
// stepping down by 1/240 (its 240th frame is exactly 0.0, which soundFrames leaves out).
inline void expectStopRamp(const std::vector<float>& sound, std::size_t at) {
    ASSERT_GT(at, 0u);
    ASSERT_GE(sound.size(), 2 * (at + 239));
    const float left = sound[2 * (at - 1)];
    const float right = sound[2 * (at - 1) + 1];
    for (int i = 0; i < 239; ++i) {
        const float gain = 1.0f - float(i + 1) / 240.0f;
        ASSERT_EQ(sound[2 * (at + i)], left * gain) << i;
        ASSERT_EQ(sound[2 * (at + i) + 1], right * gain) << i;
    }
}

}  // namespace pellimar::testing
