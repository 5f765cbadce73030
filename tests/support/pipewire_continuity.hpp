#pragma once
// Sets a private daemon's graph clock as a desktop's clients do, and judges a recorded tone for
// continuity: no silent run inside it, no phase jump, and its whole length.

#include <cmath>
#include <cstddef>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/pipewire_daemon.hpp"
#include "tests/support/pipewire_monitor.hpp"

namespace pellimar::testing {

// A graph clock to force: quantum in frames at `rate` Hz.
struct GraphClock {
    int quantum = 1024;
    int rate = 48000;
};

// The clocks the tests run at: small and large quanta, and a 44.1 kHz graph.
inline std::vector<GraphClock> desktopClocks() {
    return {{256, 48000}, {1024, 48000}, {2048, 48000}, {4096, 48000}, {1024, 44100}};
}

inline std::string clockName(const GraphClock& clock) {
    return "quantum" + std::to_string(clock.quantum) + "at" + std::to_string(clock.rate);
}

// pw-metadata in the settings metadata, as clients that want a latency or rate set it; 0 lifts it.
inline bool forceGraphClock(const GraphClock& clock) {
    return PipeWireDaemon::run("pw-metadata -n settings 0 clock.force-quantum " +
                               std::to_string(clock.quantum) + " >/dev/null") &&
           PipeWireDaemon::run("pw-metadata -n settings 0 clock.force-rate " +
                               std::to_string(clock.rate) + " >/dev/null");
}

inline bool releaseGraphClock() {
    return forceGraphClock({0, 0});
}

// What a recording of a steady sine says about the stream that played it.
struct ToneContinuity {
    bool found = false;
    std::size_t first = 0;           // first frame of the tone
    std::size_t frames = 0;          // from its first to its last audible frame
    std::size_t longestSilence = 0;  // frames, inside the tone
    std::size_t silenceAt = 0;
    double worstJump = 0;  // the largest step off the sine's own recurrence
    std::size_t jumpAt = 0;
    int breaks = 0;  // silent runs and jumps, each counted once per 10 ms

    std::string describe() const {
        std::ostringstream text;
        text << breaks << " breaks in a tone of " << frames << " frames from frame " << first
             << ", longest silence " << longestSilence << " frames at " << silenceAt
             << ", worst jump " << worstJump << " at " << jumpAt;
        return text.str();
    }
};

// Judges the left channel of interleaved stereo float: a sine of `frequency` at `rate` obeys
// x[n] = 2 cos(w) x[n-1] - x[n-2], so a gap, a skip or a repeat shows as a large remainder.
// The tone's first and last `edge` frames (where it starts abruptly) are not judged for jumps.
// A break is a run of more than `kSilentRun` silent frames or a step larger than `kJumpLimit`.
inline constexpr std::size_t kSilentRun = 8;
inline constexpr double kJumpLimit = 0.02;

inline ToneContinuity judgeTone(const std::vector<float>& stereo, double frequency,
                                double rate = 48000, std::size_t edge = 64) {
    ToneContinuity c;
    const std::size_t frames = stereo.size() / 2;
    auto at = [&](std::size_t f) { return double(stereo[2 * f]); };
    std::size_t last = 0;
    for (std::size_t f = 0; f < frames; ++f) {
        if (std::fabs(at(f)) > 0.01) {
            if (!c.found) {
                c.found = true;
                c.first = f;
            }
            last = f;
        }
    }
    if (!c.found) {
        return c;
    }
    c.frames = last - c.first + 1;
    std::size_t run = 0;
    for (std::size_t f = c.first; f <= last; ++f) {
        run = std::fabs(at(f)) < 1e-3 ? run + 1 : 0;
        if (run > c.longestSilence) {
            c.longestSilence = run;
            c.silenceAt = f + 1 - run;
        }
    }
    const double coefficient = 2 * std::cos(2 * M_PI * frequency / rate);
    std::size_t quiet = 0, lastBreak = 0;
    for (std::size_t f = c.first + edge; f + edge <= last; ++f) {
        const double jump = std::fabs(at(f) - coefficient * at(f - 1) + at(f - 2));
        if (jump > c.worstJump) {
            c.worstJump = jump;
            c.jumpAt = f;
        }
        quiet = std::fabs(at(f)) < 1e-3 ? quiet + 1 : 0;
        if ((quiet > kSilentRun || jump > kJumpLimit) && (c.breaks == 0 || f > lastBreak + 480)) {
            ++c.breaks;
            lastBreak = f;
        }
    }
    return c;
}

// A loaded machine's graph itself now and then runs a client late at quantum 256 (seen about
// once in 20 runs, with pw-play losing more under load than our streams): the sink plays a
// silent cycle, the late buffer follows, and a few cycles later one is dropped to catch up. That
// is at most three breaks; a queue that cannot keep up breaks the tone every cycle.
inline constexpr int kBreaksOfALostCycle = 3;

// What keeps a tone from being continuous, empty when nothing does: more breaks than one lost
// cycle makes, a silent run longer than two quanta (`slack` frames each), or a length other than
// `expectedFrames` within `slack`.
inline std::string continuityFaults(const ToneContinuity& c, std::size_t expectedFrames,
                                    std::size_t slack) {
    if (!c.found) {
        return "nothing was recorded";
    }
    std::string faults;
    if (c.breaks > kBreaksOfALostCycle) {
        faults += "breaks; ";
    }
    if (c.longestSilence > 2 * slack) {
        faults += "a silent run longer than two quanta; ";
    }
    if (c.frames > expectedFrames + slack || c.frames + slack < expectedFrames) {
        faults += "the length is off (" + std::to_string(expectedFrames) + " expected); ";
    }
    return faults.empty() ? faults : faults + c.describe();
}

// Judges a 1 kHz tone of `expectedFrames` (at 48 kHz) at the clock the graph really ran, which
// must be `clock`: its length may be off by one quantum.
inline std::string heardContinuously(const MonitorRecorder& recorder,
                                     const std::vector<float>& recorded, const GraphClock& clock,
                                     std::size_t expectedFrames) {
    if (recorder.graphQuantum() != std::uint64_t(clock.quantum) ||
        recorder.graphRate() != std::uint32_t(clock.rate)) {
        return "the graph ran quantum " + std::to_string(recorder.graphQuantum()) + " at " +
               std::to_string(recorder.graphRate()) + " Hz";
    }
    const auto quantumAt48k = std::size_t(clock.quantum * 48000 / clock.rate + 1);
    return continuityFaults(judgeTone(recorded, 1000), expectedFrames, quantumAt48k);
}

}  // namespace pellimar::testing
