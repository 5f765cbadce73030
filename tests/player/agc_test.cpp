#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <regex>

#include <nlohmann/json.hpp>

#include "platform/common/atomic_file.hpp"
#include "player/native_agc.hpp"
#include "tests/platform/audio_queue/test_support.hpp"

namespace pellimar::player {
namespace {

using pellimar::testing::TempDir;

AgcEnvelope enabledEnvelope(std::int64_t revision, AgcSettings settings = {}) {
    settings.enabled = true;
    return {revision, settings};
}

// A steady square wave on both channels with the given sample magnitude.
std::vector<std::int16_t> square(std::int16_t magnitude, std::size_t frames) {
    std::vector<std::int16_t> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const std::int16_t v = (i % 2) ? std::int16_t(-magnitude) : magnitude;
        samples[2 * i] = samples[2 * i + 1] = v;
    }
    return samples;
}

// Runs `seconds` of the wave through in 4096-frame chunks; returns the largest per-chunk rise
// and fall of the gain.
std::pair<double, double> feed(NativeAgc& agc, std::int16_t magnitude, double seconds) {
    double rise = 0;
    double fall = 0;
    const auto total = std::size_t(seconds * 48000);
    for (std::size_t done = 0; done < total; done += 4096) {
        const std::size_t frames = std::min<std::size_t>(4096, total - done);
        auto chunk = square(magnitude, frames);
        const double before = agc.state().gainDb;
        agc.process(chunk.data(), std::int64_t(frames));
        const double delta = agc.state().gainDb - before;
        rise = std::max(rise, delta / double(frames));
        fall = std::max(fall, -delta / double(frames));
    }
    return {rise, fall};
}

TEST(AgcArithmetic, DisabledPassesThroughBitExactAndStillMeasures) {
    NativeAgc agc(Environment{});
    std::mt19937 random(7);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    std::vector<std::int16_t> samples(2 * 3000);
    for (auto& s : samples) {
        s = std::int16_t(sample(random));
    }
    samples[10] = -32768;
    auto copy = samples;
    agc.process(copy.data(), 3000);
    EXPECT_EQ(copy, samples);

    const AgcState s = agc.state();
    EXPECT_EQ(s.rawFrames, 3000);
    EXPECT_DOUBLE_EQ(s.rawPeak[0], 1.0);
    double energy = 0;
    for (int i = 0; i < 3000; ++i) {
        energy += std::pow(samples[std::size_t(2 * i + 1)] / 32768.0, 2);
    }
    EXPECT_NEAR(s.rawEnergy[1], energy, 1e-9);
    EXPECT_GT(s.rawUpdatedAtMs, 1.6e12);
    EXPECT_EQ(s.status, "disabled");
}

TEST(AgcArithmetic, ZeroFramesChangeNothing) {
    NativeAgc agc(Environment{});
    agc.configure(enabledEnvelope(1));
    auto chunk = square(1000, 512);
    agc.process(chunk.data(), 512);
    const AgcState before = agc.state();
    std::int16_t untouched[2] = {1234, -1234};
    agc.process(untouched, 0);
    const AgcState after = agc.state();
    EXPECT_EQ(untouched[0], 1234);
    EXPECT_EQ(after.rawFrames, before.rawFrames);
    EXPECT_EQ(after.rawUpdatedAtMs, before.rawUpdatedAtMs);
    EXPECT_EQ(after.energy, before.energy);
    EXPECT_EQ(after.status, before.status);
}

TEST(AgcArithmetic, SilenceHoldsTheGain) {
    NativeAgc agc(Environment{});
    agc.configure(enabledEnvelope(1));
    feed(agc, 1036, 3);
    const double gain = agc.state().gainDb;
    EXPECT_GT(gain, 0.5);
    std::vector<std::int16_t> silence(2 * 4096, 0);
    agc.process(silence.data(), 4096);
    EXPECT_EQ(agc.state().status, "hold");
    EXPECT_EQ(agc.state().gainDb, gain);
    EXPECT_TRUE(std::all_of(silence.begin(), silence.end(), [](auto s) { return s == 0; }));
}

TEST(AgcArithmetic, ClimbsFromMinus30AtOneDbPerSecond) {
    NativeAgc agc(Environment{});
    agc.configure(enabledEnvelope(1));
    // 1036 / 32768 squared is a mean square of 0.0009995: -30 dBFS.
    auto [rise, fall] = feed(agc, 1036, 1.0);
    EXPECT_LE(agc.state().gainDb, 1.0 + 1e-9);
    EXPECT_GT(agc.state().gainDb, 0.9);
    std::tie(rise, fall) = feed(agc, 1036, 19.0);
    EXPECT_LE(rise, 1.0 / 48000 + 1e-12);
    EXPECT_EQ(fall, 0);
    const double gain = agc.state().gainDb;
    EXPECT_GE(gain, 9.0 - 0.01);
    EXPECT_LE(gain, 10.0 + 1e-9);
    EXPECT_EQ(agc.state().status, "active");

    // The output carries that gain.
    auto chunk = square(1036, 16);
    agc.process(chunk.data(), 16);
    const double expected = 1036 * std::pow(10, agc.state().gainDb / 20);
    EXPECT_NEAR(chunk[0], expected, 1.0);
}

TEST(AgcArithmetic, BoostIsLimitedToMaxBoost) {
    NativeAgc agc(Environment{});
    agc.configure(enabledEnvelope(1));
    feed(agc, 104, 20);  // -50 dBFS wants +30 dB
    EXPECT_NEAR(agc.state().gainDb, 12.0, 1e-9);
    feed(agc, 104, 2);
    EXPECT_LE(agc.state().gainDb, 12.0 + 1e-12);
}

TEST(AgcArithmetic, LoudSignalFallsAtTwelveDbPerSecond) {
    NativeAgc agc(Environment{});
    agc.configure(enabledEnvelope(1));
    // 18426 / 32768 is 0.5623: -5 dBFS, desired -15 dB once the level meter has settled.
    const auto [rise, fall] = feed(agc, 18426, 30);
    EXPECT_LE(fall, 12.0 / 48000 + 1e-12);
    EXPECT_GT(fall, 11.0 / 48000);
    const double gain = agc.state().gainDb;
    EXPECT_GE(gain, -15.0 - 1e-9);
    EXPECT_LE(gain, -14.0 + 0.01);
    EXPECT_GE(gain, -agc.state().config.maxAttenuationDb);
}

TEST(AgcArithmetic, FullScaleFrameIsHeldUnderTheCeiling) {
    NativeAgc agc(Environment{});
    agc.configure(enabledEnvelope(1));
    std::vector<std::int16_t> chunk = {1000, -1000, -32768, -32768, 1000, -1000};
    agc.process(chunk.data(), 3);
    const double ceiling = std::pow(10, -1.5 / 20);
    EXPECT_NEAR(ceiling, 0.8414, 1e-4);
    EXPECT_EQ(chunk[2], sampleFromScaled(-1.0 * ceiling * 32768));
    EXPECT_EQ(chunk[2], -27571);
    EXPECT_EQ(chunk[0], 1000);  // other frames keep the (unit) gain
    EXPECT_TRUE(agc.state().peakLimited);
    EXPECT_LT(agc.state().gainDb, 1e-4);  // the limit never shows in the gain itself

    std::vector<std::int16_t> quiet = {1000, 1000};
    agc.process(quiet.data(), 1);
    EXPECT_FALSE(agc.state().peakLimited);
}

TEST(AgcArithmetic, RoundingAndClamping) {
    EXPECT_EQ(sampleFromScaled(500.5), 501);
    EXPECT_EQ(sampleFromScaled(-500.5), -501);
    EXPECT_EQ(sampleFromScaled(500.49), 500);
    EXPECT_EQ(sampleFromScaled(-0.5), -1);
    EXPECT_EQ(sampleFromScaled(0.4), 0);
    EXPECT_EQ(sampleFromScaled(32768.0), 32767);
    EXPECT_EQ(sampleFromScaled(32767.5), 32767);
    EXPECT_EQ(sampleFromScaled(-32768.0), -32768);
    EXPECT_EQ(sampleFromScaled(-32768.6), -32768);
    EXPECT_EQ(sampleFromScaled(1e9), 32767);
}

TEST(AgcArithmetic, CeilingAtZeroDbWritesPlusFullScaleAs32767) {
    NativeAgc agc(Environment{});
    AgcSettings settings;
    settings.peakCeilingDb = 0;
    agc.configure(enabledEnvelope(1, settings));
    feed(agc, 1036, 6);  // some boost
    ASSERT_GT(agc.state().gainDb, 3);
    // The frame is limited to exactly full scale, +32768 before clamping.
    std::vector<std::int16_t> chunk = {32000, 32000};
    agc.process(chunk.data(), 1);
    EXPECT_TRUE(agc.state().peakLimited);
    EXPECT_EQ(chunk[0], 32767);
    EXPECT_EQ(chunk[1], 32767);
}

TEST(AgcArithmetic, GateHoldsThenClosesAndNeedsHysteresisToReopen) {
    NativeAgc agc(Environment{});
    AgcSettings settings;
    settings.holdMs = 100;  // 4800 frames
    agc.configure(enabledEnvelope(1, settings));
    feed(agc, 104, 0.2);  // -50 dBFS opens the gate
    ASSERT_TRUE(agc.state().gateOpen);
    ASSERT_EQ(agc.state().status, "active");

    // Quiet (-81 dBFS): hold with the gain frozen, the gate open until the hold has passed.
    std::optional<double> gain;
    int closedAt = -1;
    for (int i = 0; i < 20000 && closedAt < 0; ++i) {
        std::int16_t frame[2] = {3, 3};
        agc.process(frame, 1);
        const AgcState s = agc.state();
        if (s.quietSamples > 0) {
            gain = gain.value_or(s.gainDb);
            EXPECT_EQ(s.status, "hold");
            EXPECT_EQ(s.gainDb, *gain);
        }
        if (!s.gateOpen) {
            closedAt = i;
            EXPECT_EQ(s.quietSamples, 4800);
        }
    }
    ASSERT_GE(closedAt, 4800);

    // Between -60 and -57 dBFS (-58.5): above the gate threshold but below the reopening one.
    feed(agc, 39, 0.2);
    EXPECT_FALSE(agc.state().gateOpen);
    EXPECT_EQ(agc.state().status, "hold");
    EXPECT_EQ(agc.state().gainDb, *gain);

    feed(agc, 104, 0.1);
    EXPECT_TRUE(agc.state().gateOpen);
    EXPECT_EQ(agc.state().quietSamples, 0);
    EXPECT_EQ(agc.state().status, "active");
}

TEST(AgcArithmetic, ZeroHoldClosesOnTheFirstQuietFrame) {
    NativeAgc agc(Environment{});
    AgcSettings settings;
    settings.holdMs = 0;
    agc.configure(enabledEnvelope(1, settings));
    feed(agc, 104, 0.2);
    ASSERT_TRUE(agc.state().gateOpen);
    for (int i = 0; i < 20000; ++i) {
        std::int16_t frame[2] = {0, 0};
        agc.process(frame, 1);
        if (agc.state().quietSamples > 0) {
            EXPECT_EQ(agc.state().quietSamples, 1);
            EXPECT_FALSE(agc.state().gateOpen);
            return;
        }
    }
    FAIL() << "the gate meter never fell below the threshold";
}

// The per-frame arithmetic written out plainly, to hold the optimised loop to it bit for bit.
void referenceProcess(AgcState& s, std::int16_t* samples, std::int64_t frames) {
    const AgcSettings& c = s.config;
    const double a = std::exp(-1 / (c.windowMs * 48000 / 1000));
    const double g = std::exp(-1.0 / 480);
    const double ceiling = std::pow(10, c.peakCeilingDb / 20);
    s.peakLimited = false;
    for (std::int64_t i = 0; i < frames; ++i) {
        const double l = samples[2 * i] / 32768.0;
        const double r = samples[2 * i + 1] / 32768.0;
        const double peak = std::max(std::fabs(l), std::fabs(r));
        const double ms = (l * l + r * r) * 0.5;
        s.energy = a * s.energy + (1 - a) * ms;
        s.gateEnergy = g * s.gateEnergy + (1 - g) * ms;
        const double gateDb = 10 * std::log10(std::max(s.gateEnergy, 1e-20));
        if (gateDb < c.silenceDb) {
            s.quietSamples += 1;
            if (s.quietSamples >= c.holdMs * 48) {
                s.gateOpen = false;
            }
        } else if (gateDb >= c.silenceDb + c.hysteresisDb) {
            s.gateOpen = true;
            s.quietSamples = 0;
        }
        if (gateDb >= c.silenceDb && s.gateOpen && ms > 0) {
            const double levelDb = 10 * std::log10(std::max(s.energy, 1e-20));
            double desired = c.targetRmsDb - levelDb;
            if (std::fabs(desired - s.gainDb) > c.deadbandDb) {
                desired = std::min(std::max(desired, -c.maxAttenuationDb), c.maxBoostDb);
                double step = desired - s.gainDb;
                step =
                    std::min(std::max(step, -c.fallDbPerSecond / 48000), c.riseDbPerSecond / 48000);
                s.gainDb = s.gainDb + step;
            }
            s.status = "active";
        } else {
            s.status = "hold";
        }
        double gain = std::pow(10, s.gainDb / 20);
        if (gain * peak > ceiling) {
            gain = ceiling / peak;
            s.peakLimited = true;
        }
        samples[2 * i] = sampleFromScaled(l * gain * 32768);
        samples[2 * i + 1] = sampleFromScaled(r * gain * 32768);
    }
}

// The raw statistics as plainly specified: left-to-right sums of the normalised squares.
void expectRawLikeThePlainSums(const AgcState& s, const std::vector<std::int16_t>& input,
                               const std::string& where) {
    for (int c = 0; c < 2; ++c) {
        double energy = 0;
        double peak = 0;
        for (std::size_t i = std::size_t(c); i < input.size(); i += 2) {
            const double v = input[i] / 32768.0;
            energy += v * v;
            peak = std::max(peak, std::fabs(v));
        }
        EXPECT_EQ(s.rawEnergy[c], energy) << where << ", channel " << c;
        EXPECT_EQ(s.rawPeak[c], peak) << where << ", channel " << c;
    }
}

// Runs one chunk through both and compares everything the chunk changes, bit for bit.
void processBoth(NativeAgc& agc, AgcState& reference, const std::vector<std::int16_t>& input,
                 const std::string& where) {
    const auto frames = std::int64_t(input.size() / 2);
    auto expected = input;
    auto samples = input;
    referenceProcess(reference, expected.data(), frames);
    agc.process(samples.data(), frames);
    const AgcState actual = agc.state();
    ASSERT_EQ(samples, expected) << where;
    ASSERT_EQ(actual.gainDb, reference.gainDb) << where;
    ASSERT_EQ(std::signbit(actual.gainDb), std::signbit(reference.gainDb)) << where;
    ASSERT_EQ(actual.energy, reference.energy) << where;
    ASSERT_EQ(actual.gateEnergy, reference.gateEnergy) << where;
    ASSERT_EQ(actual.quietSamples, reference.quietSamples) << where;
    ASSERT_EQ(actual.gateOpen, reference.gateOpen) << where;
    ASSERT_EQ(actual.status, reference.status) << where;
    ASSERT_EQ(actual.peakLimited, reference.peakLimited) << where;
    expectRawLikeThePlainSums(actual, input, where);
}

TEST(AgcArithmetic, MatchesThePlainArithmeticBitForBit) {
    AgcSettings settings;
    settings.holdMs = 40;
    settings.windowMs = 400;
    settings.riseDbPerSecond = 6;
    settings.fallDbPerSecond = 48;
    NativeAgc agc(Environment{});
    agc.configure(enabledEnvelope(1, settings));
    AgcState reference = agc.state();

    std::mt19937 random(11);
    std::uniform_real_distribution<double> levelDb(-95, 0);
    std::uniform_int_distribution<int> length(1, 4096);
    for (int chunk = 0; chunk < 400; ++chunk) {
        // Levels that wander across the gate thresholds, into silence and up to full scale.
        const double level = chunk % 17 == 0 ? -200 : levelDb(random);
        const double amplitude = std::pow(10, level / 20) * 32767;
        const int frames = length(random);
        std::vector<std::int16_t> samples(std::size_t(2 * frames));
        for (int i = 0; i < frames; ++i) {
            const double v = amplitude * std::sin(0.05 * (chunk * 4096 + i));
            samples[std::size_t(2 * i)] = std::int16_t(std::lround(v));
            samples[std::size_t(2 * i + 1)] = std::int16_t(std::lround(-0.7 * v));
        }
        ASSERT_NO_FATAL_FAILURE(
            processBoth(agc, reference, samples, "chunk " + std::to_string(chunk)));
    }
}

TEST(AgcArithmetic, LongRampsClampsAndTheCeilingMatchBitForBit) {
    // Long steady stretches: the gain ramps for thousands of frames, reaches its limits, settles
    // in the dead band and hits a 0 dB ceiling.
    for (const double deadband : {0.0, 1.0}) {
        AgcSettings settings;
        settings.deadbandDb = deadband;
        settings.maxBoostDb = 18;
        settings.maxAttenuationDb = 6;
        settings.peakCeilingDb = 0;
        settings.riseDbPerSecond = 6;
        settings.fallDbPerSecond = 48;
        settings.windowMs = 100;
        NativeAgc agc(Environment{});
        agc.configure(enabledEnvelope(1, settings));
        AgcState reference = agc.state();
        const double levels[] = {-45, -45, -45, -3, -3, -20, -20, -20, -20, -70, -25, 0, -12};
        int chunk = 0;
        for (const double level : levels) {
            const double amplitude = std::pow(10, level / 20) * 32767;
            for (int repeat = 0; repeat < 24; ++repeat, ++chunk) {
                std::vector<std::int16_t> samples(2 * 4096);
                for (int i = 0; i < 4096; ++i) {
                    const double v = amplitude * std::sin(0.031 * (chunk * 4096 + i));
                    samples[std::size_t(2 * i)] = std::int16_t(std::lround(v));
                    samples[std::size_t(2 * i + 1)] = std::int16_t(std::lround(0.5 * v));
                }
                ASSERT_NO_FATAL_FAILURE(processBoth(
                    agc, reference, samples,
                    "chunk " + std::to_string(chunk) + ", dead band " + std::to_string(deadband)));
            }
        }
    }
}

// A tone at a level with a little noise, so that steady stretches still wander slightly.
std::vector<std::int16_t> toneChunk(std::mt19937& random, double levelDb, int frames,
                                    std::int64_t phase) {
    std::normal_distribution<double> noise(0, 1);
    const double amplitude = std::pow(10, levelDb / 20) * 32767;
    std::vector<std::int16_t> samples(std::size_t(2 * frames));
    for (int i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(0.043 * double(phase + i)) + noise(random);
        samples[std::size_t(2 * i)] = std::int16_t(std::clamp(std::lround(v), -32768L, 32767L));
        samples[std::size_t(2 * i + 1)] =
            std::int16_t(std::clamp(std::lround(-0.6 * v), -32768L, 32767L));
    }
    return samples;
}

TEST(AgcArithmetic, EdgeSettingsAndSettingsChangedMidStreamMatchBitForBit) {
    // Settings at the edges of their ranges: no dead band (partial steps every frame), no boost
    // or no cut at all (the gain pinned at 0, also as -0), the extreme ceilings and windows.
    const std::vector<AgcSettings> variants = {
        {.windowMs = 100, .deadbandDb = 0},
        {.maxBoostDb = 0, .maxAttenuationDb = 0, .hysteresisDb = 0},
        {.maxBoostDb = 18, .windowMs = 100, .riseDbPerSecond = 6, .peakCeilingDb = 0},
        {.silenceDb = -40, .holdMs = 0, .peakCeilingDb = -12},
        {.windowMs = 10000, .deadbandDb = 6, .riseDbPerSecond = 0.1, .fallDbPerSecond = 1},
        {.targetRmsDb = -6, .maxAttenuationDb = 48, .windowMs = 100, .fallDbPerSecond = 48},
    };

    std::mt19937 random(23);
    std::uniform_int_distribution<int> length(1, 5000);
    // Long steady stretches pin the gain at its limits and in the dead band; silence closes the
    // gate; the others cross the gate thresholds and reach full scale.
    const double levels[] = {-45, -45, -45, -3, -3, -3, -20, -20, -200, -62, -58, -30, 0, -75};
    NativeAgc agc(Environment{});
    agc.configure(enabledEnvelope(1, variants[0]));
    AgcState reference = agc.state();
    std::int64_t phase = 0;
    int chunk = 0;
    for (std::size_t v = 0; v < variants.size(); ++v) {
        if (v > 0) {
            // A new revision with the AGC still enabled: the meters and the gain carry on, the
            // gain clamped into the new limits.
            agc.configure(enabledEnvelope(std::int64_t(v + 1), variants[v]));
            const AgcSettings& c = agc.state().config;
            reference.config = c;
            reference.gainDb =
                std::min(std::max(reference.gainDb, -c.maxAttenuationDb), c.maxBoostDb);
        }
        for (const double level : levels) {
            for (int repeat = 0; repeat < 3; ++repeat, ++chunk) {
                const int frames = length(random);
                const auto input = toneChunk(random, level, frames, phase);
                phase += frames;
                processBoth(agc, reference, input,
                            "settings " + std::to_string(v) + ", chunk " + std::to_string(chunk));
                if (::testing::Test::HasFatalFailure()) {
                    return;
                }
            }
        }
    }
}

TEST(AgcArithmetic, NegativeZeroGainStaysNegativeZero) {
    // A cut clamped to a zero attenuation limit leaves the gain at -0; holding keeps it so.
    NativeAgc agc(Environment{});
    agc.configure(enabledEnvelope(1));
    feed(agc, 18426, 2);  // loud: the gain falls below 0
    ASSERT_LT(agc.state().gainDb, 0);
    AgcSettings noCut;
    noCut.maxAttenuationDb = 0;
    agc.configure(enabledEnvelope(2, noCut));
    ASSERT_TRUE(std::signbit(agc.state().gainDb));
    AgcState reference = agc.state();
    std::mt19937 random(5);
    std::int64_t phase = 0;
    for (const double level : {-20.0, -5.0, -5.0, -200.0, -5.0}) {
        const auto input = toneChunk(random, level, 4096, phase);
        phase += 4096;
        processBoth(agc, reference, input, "level " + std::to_string(level));
    }
}

TEST(AgcArithmetic, RawEnergyBeyondExactWholeNumbersIsSummedInOrder) {
    // Past 2^23 full-scale frames the plain sum of squares starts rounding; the status must
    // still report that sum, not an exact one.
    const std::size_t frames = (std::size_t(1) << 23) + 300000;
    std::vector<std::int16_t> input(2 * frames);
    std::mt19937 random(3);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = std::int16_t(i % 1000 == 0 ? sample(random) : (i % 4 < 2 ? -32768 : 32767));
    }
    NativeAgc agc(Environment{});
    auto samples = input;
    agc.process(samples.data(), std::int64_t(frames));
    EXPECT_EQ(samples, input);
    expectRawLikeThePlainSums(agc.state(), input, "disabled");
}

TEST(AgcSettingsRules, RangesAreInclusiveAndFinite) {
    AgcSettings s;
    EXPECT_TRUE(s.valid());
    s.targetRmsDb = -40;
    s.maxBoostDb = 18;
    s.windowMs = 100;
    s.holdMs = 0;
    s.peakCeilingDb = 0;
    EXPECT_TRUE(s.valid());
    for (auto change : std::vector<std::function<void(AgcSettings&)>>{
             [](AgcSettings& x) { x.windowMs = 50; },
             [](AgcSettings& x) { x.peakCeilingDb = 0.5; },
             [](AgcSettings& x) { x.riseDbPerSecond = 0.05; },
             [](AgcSettings& x) { x.silenceDb = NAN; },
             [](AgcSettings& x) { x.maxAttenuationDb = INFINITY; },
             [](AgcSettings& x) { x.fallDbPerSecond = 48.0001; },
         }) {
        AgcSettings bad;
        change(bad);
        EXPECT_FALSE(bad.valid());
    }
}

const char* kFullConfig = R"({"revision": 4, "extra": [1], "config": {"enabled": true,
    "targetRmsDb": -18, "maxBoostDb": 6, "maxAttenuationDb": 24, "windowMs": 3000,
    "deadbandDb": 1, "riseDbPerSecond": 1.5, "fallDbPerSecond": 12, "silenceDb": -60,
    "hysteresisDb": 3, "holdMs": 1000, "peakCeilingDb": -1.5}})";

TEST(AgcSettingsRules, EnvelopeDecoding) {
    auto envelope = decodeAgcEnvelope(kFullConfig);
    ASSERT_TRUE(envelope);
    EXPECT_EQ(envelope->revision, 4);
    EXPECT_TRUE(envelope->config.enabled);
    EXPECT_EQ(envelope->config.targetRmsDb, -18);
    EXPECT_EQ(envelope->config.riseDbPerSecond, 1.5);

    auto edited = [](const std::function<void(nlohmann::json&)>& edit) {
        auto j = nlohmann::json::parse(kFullConfig);
        edit(j);
        return decodeAgcEnvelope(j.dump());
    };
    EXPECT_FALSE(edited([](auto& j) { j["config"].erase("holdMs"); }));
    EXPECT_FALSE(edited([](auto& j) { j.erase("revision"); }));
    EXPECT_FALSE(edited([](auto& j) { j["config"]["windowMs"] = "3000"; }));
    EXPECT_FALSE(edited([](auto& j) { j["config"]["enabled"] = 1; }));
    EXPECT_FALSE(edited([](auto& j) { j["revision"] = 4.5; }));
    EXPECT_FALSE(edited([](auto& j) { j["revision"] = "4"; }));
    EXPECT_FALSE(edited([](auto& j) { j["config"] = nullptr; }));
    EXPECT_FALSE(decodeAgcEnvelope("{\"revision\": 4, \"config\": {"));
    EXPECT_FALSE(decodeAgcEnvelope("[]"));
    EXPECT_FALSE(decodeAgcEnvelope(""));
    EXPECT_FALSE(decodeAgcEnvelope(std::string(kFullConfig) + '\0' + "}"));  // not cut at the NUL
    // An out-of-range value still decodes; configure is what refuses it.
    EXPECT_TRUE(edited([](auto& j) { j["config"]["windowMs"] = 50; }));
}

TEST(AgcSettingsRules, ConfigureIgnoresInvalidAndResetsOnEnable) {
    NativeAgc agc(Environment{});
    AgcSettings invalid;
    invalid.windowMs = 50;
    agc.configure(enabledEnvelope(3, invalid));
    EXPECT_EQ(agc.state().revision, -1);
    EXPECT_EQ(agc.state().status, "disabled");

    // Meters move while disabled only through configure; enable, run, then disable.
    agc.configure(enabledEnvelope(5));
    EXPECT_EQ(agc.state().status, "armed");
    feed(agc, 1036, 3);
    ASSERT_GT(agc.state().gainDb, 1);
    ASSERT_GT(agc.state().energy, 0);
    AgcEnvelope off{6, AgcSettings{}};
    agc.configure(off);
    AgcState s = agc.state();
    EXPECT_EQ(s.revision, 6);
    EXPECT_EQ(s.status, "disabled");
    EXPECT_EQ(s.gainDb, 0);
    EXPECT_EQ(s.energy, 0);
    EXPECT_EQ(s.gateEnergy, 0);
    EXPECT_FALSE(s.gateOpen);
}

TEST(AgcSettingsRules, NewRevisionKeepsMetersAndClampsGain) {
    NativeAgc agc(Environment{});
    agc.configure(enabledEnvelope(1));
    feed(agc, 1036, 20);
    const AgcState before = agc.state();
    ASSERT_GT(before.gainDb, 8.9);
    AgcSettings lower;
    lower.maxBoostDb = 6;
    agc.configure(enabledEnvelope(2, lower));
    const AgcState after = agc.state();
    EXPECT_EQ(after.gainDb, 6);
    EXPECT_EQ(after.energy, before.energy);
    EXPECT_EQ(after.gateOpen, before.gateOpen);
    EXPECT_EQ(after.status, "armed");
    EXPECT_EQ(after.revision, 2);

    AgcSettings deep;
    deep.maxAttenuationDb = 3;
    agc.configure(enabledEnvelope(3, deep));
    feed(agc, 18426, 10);
    EXPECT_GE(agc.state().gainDb, -3 - 1e-12);
}

TEST(AgcSettingsRules, BypassOnlyForExactlyOne) {
    for (const auto& [value, bypassed] :
         std::vector<std::pair<std::string, bool>>{{"1", true}, {"true", false}, {"01", false}}) {
        NativeAgc agc(Environment{{"PELLIMAR_PLAYER_AGC_BYPASS", value}});
        agc.configure(enabledEnvelope(9));
        const AgcState s = agc.state();
        EXPECT_EQ(s.revision, 9);
        EXPECT_EQ(s.config.enabled, !bypassed) << value;
        EXPECT_EQ(s.status, bypassed ? "disabled" : "armed") << value;
        auto chunk = square(1036, 4096);
        const auto original = chunk;
        agc.process(chunk.data(), 4096);
        if (bypassed) {
            EXPECT_EQ(chunk, original);
        }
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class AgcFilesTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string config = dir / "agc-config.json";
    std::string status = dir / "agc-status.json";

    nlohmann::json readStatus() { return nlohmann::json::parse(readFile(status)); }
    void writeConfig(const std::string& text) {
        std::ofstream(config, std::ios::binary | std::ios::trunc) << text;
    }
};

TEST_F(AgcFilesTest, StatusWithoutConfiguration) {
    NativeAgc agc(Environment{{"PELLIMAR_AGC_STATUS", status}});
    agc.poll();
    auto j = readStatus();
    EXPECT_EQ(j["generation"], "");
    EXPECT_EQ(j["revision"], -1);
    EXPECT_EQ(j["enabled"], false);
    EXPECT_EQ(j["status"], "disabled");
    EXPECT_EQ(j["gainDb"], 0.0);
    EXPECT_EQ(j["peakLimited"], false);
    EXPECT_EQ(j["pid"], ::getpid());
    EXPECT_FALSE(j.contains("rawInput"));
    EXPECT_TRUE(std::regex_match(j["updatedAt"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    const std::string text = readFile(status);
    EXPECT_EQ(text.find("\n  "), std::string::npos);  // compact

    std::vector<std::int16_t> silence(2 * 100, 0);
    agc.process(silence.data(), 100);
    agc.poll();
    j = readStatus();
    ASSERT_TRUE(j.contains("rawInput"));
    ASSERT_EQ(j["rawInput"]["channels"].size(), 2u);
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(j["rawInput"]["channels"][c]["channel"], c);
        EXPECT_EQ(j["rawInput"]["channels"][c]["rmsDb"], -160.0);
        EXPECT_EQ(j["rawInput"]["channels"][c]["peakDb"], -160.0);
    }
    EXPECT_TRUE(j["rawInput"]["updatedAtMs"].is_number());

    auto chunk = square(16384, 100);  // half scale: -6.02 dB both ways
    agc.process(chunk.data(), 100);
    agc.poll();
    j = readStatus();
    EXPECT_NEAR(j["rawInput"]["channels"][1]["rmsDb"].get<double>(), -6.0206, 1e-3);
    EXPECT_NEAR(j["rawInput"]["channels"][0]["peakDb"].get<double>(), -6.0206, 1e-3);
}

TEST_F(AgcFilesTest, ConfigurationIsTakenOncePerRevision) {
    NativeAgc agc(Environment{{"PELLIMAR_AGC_STATUS", status},
                              {"PELLIMAR_AGC_CONFIG", config},
                              {"PELLIMAR_AGC_GENERATION", "gen-7"}});
    agc.poll();  // no file yet: ignored
    EXPECT_EQ(readStatus()["revision"], -1);
    writeConfig(kFullConfig);
    agc.poll();
    auto j = readStatus();
    EXPECT_EQ(j["revision"], 4);
    EXPECT_EQ(j["enabled"], true);
    EXPECT_EQ(j["status"], "armed");
    EXPECT_EQ(j["generation"], "gen-7");

    feed(agc, 1036, 2);
    const double gain = agc.state().gainDb;
    agc.poll();  // same revision: the state carries on
    EXPECT_EQ(agc.state().gainDb, gain);
    EXPECT_EQ(readStatus()["status"], "active");

    auto changed = nlohmann::json::parse(kFullConfig);
    changed["revision"] = 5;
    changed["config"]["windowMs"] = 50;
    writeConfig(changed.dump());
    agc.poll();
    EXPECT_EQ(readStatus()["revision"], 4);
    writeConfig("{not json");
    agc.poll();
    EXPECT_EQ(readStatus()["revision"], 4);
    changed["config"]["windowMs"] = 200;
    writeConfig(changed.dump());
    agc.poll();
    EXPECT_EQ(readStatus()["revision"], 5);
}

TEST_F(AgcFilesTest, OnlyASmallRegularFileIsAConfiguration) {
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string large = dir / "large.json";
    std::ofstream(large, std::ios::binary) << kFullConfig << std::string(100 * 1024, ' ');
    const std::string linked = dir / "linked.json";
    std::filesystem::create_symlink(large, linked);
    // None of these is a configuration, and none may hold up the poll.
    for (const std::string& path : {fifo, std::string("/dev/zero"), dir.path(), large, linked}) {
        SCOPED_TRACE(path);
        NativeAgc agc(Environment{{"PELLIMAR_AGC_STATUS", status}, {"PELLIMAR_AGC_CONFIG", path}});
        auto polled = std::async(std::launch::async, [&] { agc.poll(); });
        if (polled.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            ADD_FAILURE() << "the poll hangs";
            // Release a reader stuck opening the FIFO, so the test can end.
            ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
        }
        polled.get();
        EXPECT_EQ(readStatus()["revision"], -1);
    }
    // A regular file is still read through a symlink.
    writeConfig(kFullConfig);
    std::filesystem::remove(linked);
    std::filesystem::create_symlink(config, linked);
    NativeAgc agc(Environment{{"PELLIMAR_AGC_STATUS", status}, {"PELLIMAR_AGC_CONFIG", linked}});
    agc.poll();
    EXPECT_EQ(readStatus()["revision"], 4);
}

TEST_F(AgcFilesTest, GenerationThatIsNotUtf8StillGivesAStatus) {
    NativeAgc agc(Environment{{"PELLIMAR_AGC_STATUS", status},
                              {"PELLIMAR_AGC_GENERATION", std::string("g\xff\xfe"
                                                                      "1")}});
    agc.poll();
    auto j = readStatus();
    EXPECT_EQ(j["generation"], "g\uFFFD\uFFFD1");
    EXPECT_EQ(j["revision"], -1);
}

TEST_F(AgcFilesTest, StatusReplacesASymlinkInsteadOfWritingThroughIt) {
    const std::string victim = dir / "victim.txt";
    std::ofstream(victim) << "keep me";
    std::filesystem::create_symlink(victim, status);
    NativeAgc agc(Environment{{"PELLIMAR_AGC_STATUS", status}});
    agc.poll();
    EXPECT_EQ(readFile(victim), "keep me");
    EXPECT_FALSE(std::filesystem::is_symlink(status));
    EXPECT_EQ(readStatus()["revision"], -1);
    // Nothing but the status and the victim is left in the directory.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 2u);
}

TEST_F(AgcFilesTest, AtomicReplaceFailuresLeaveNoTrace) {
    EXPECT_FALSE(replaceFileAtomically(dir / "missing/status.json", "x"));
    std::filesystem::create_directory(dir / "occupied");
    EXPECT_FALSE(replaceFileAtomically(dir / "occupied", "x"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "occupied"));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
    // The status file of a missing directory is simply not written.
    NativeAgc agc(Environment{{"PELLIMAR_AGC_STATUS", dir / "missing/status.json"}});
    agc.poll();
    EXPECT_TRUE(replaceFileAtomically(status, "one"));
    EXPECT_TRUE(replaceFileAtomically(status, "two"));
    EXPECT_EQ(readFile(status), "two");
    struct stat info {};
    ASSERT_EQ(::stat(status.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

}  // namespace
}  // namespace pellimar::player
