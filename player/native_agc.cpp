#include "player/native_agc.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include <nlohmann/json.hpp>

#include "platform/common/atomic_file.hpp"
#include "platform/json/json_checks.hpp"

extern char** environ;

namespace pellimar::player {
namespace {

constexpr double kSampleRate = 48000;
// A real configuration is a few hundred bytes.
constexpr std::size_t kConfigurationFileLimit = 64 * 1024;

// The configuration file's text, or nothing. Only a regular file up to the size limit counts:
// a FIFO at the path would stall the poll (and with it the stop), a device like /dev/zero would
// never end. It is opened without blocking, and checked again once open in case the path was
// swapped in between.
std::optional<std::string> readConfigurationFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<std::string> text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        std::string bytes;
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof(chunk));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n == 0) {
                text = std::move(bytes);
                break;
            }
            if (n < 0) {
                break;
            }
            bytes.append(chunk, std::size_t(n));
            if (bytes.size() > kConfigurationFileLimit) {
                break;
            }
        }
    }
    ::close(fd);
    return text;
}

bool within(double value, double low, double high) {
    return std::isfinite(value) && value >= low && value <= high;
}

std::optional<double> numberAt(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number()) {
        return std::nullopt;
    }
    return it->get<double>();
}

std::string iso8601Now() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

double wallClockMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string lookup(const Environment& environment, const char* name) {
    auto it = environment.find(name);
    return it == environment.end() ? std::string() : it->second;
}

}  // namespace

Environment processEnvironment() {
    Environment environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        const auto eq = text.find('=');
        if (eq != std::string::npos) {
            environment.emplace(text.substr(0, eq), text.substr(eq + 1));
        }
    }
    return environment;
}

bool AgcSettings::valid() const {
    return within(targetRmsDb, -40, -6) && within(maxBoostDb, 0, 18) &&
           within(maxAttenuationDb, 0, 48) && within(windowMs, 100, 10000) &&
           within(deadbandDb, 0, 6) && within(riseDbPerSecond, 0.1, 6) &&
           within(fallDbPerSecond, 1, 48) && within(silenceDb, -100, -40) &&
           within(hysteresisDb, 0, 12) && within(holdMs, 0, 5000) && within(peakCeilingDb, -12, 0);
}

std::optional<AgcEnvelope> decodeAgcEnvelope(const std::string& text) {
    const auto parsed = pellimar::json::parseText(text);
    if (!parsed || !parsed->is_object()) {
        return std::nullopt;
    }
    const nlohmann::json& root = *parsed;
    auto revision = root.find("revision");
    auto config = root.find("config");
    if (revision == root.end() || config == root.end() || !config->is_object()) {
        return std::nullopt;
    }
    AgcEnvelope envelope;
    if (auto r = pellimar::json::wholeNumber<std::int64_t>(*revision)) {
        envelope.revision = *r;
    } else {
        return std::nullopt;
    }
    auto enabled = config->find("enabled");
    if (enabled == config->end() || !enabled->is_boolean()) {
        return std::nullopt;
    }
    AgcSettings& s = envelope.config;
    s.enabled = enabled->get<bool>();
    const std::pair<const char*, double*> fields[] = {
        {"targetRmsDb", &s.targetRmsDb},
        {"maxBoostDb", &s.maxBoostDb},
        {"maxAttenuationDb", &s.maxAttenuationDb},
        {"windowMs", &s.windowMs},
        {"deadbandDb", &s.deadbandDb},
        {"riseDbPerSecond", &s.riseDbPerSecond},
        {"fallDbPerSecond", &s.fallDbPerSecond},
        {"silenceDb", &s.silenceDb},
        {"hysteresisDb", &s.hysteresisDb},
        {"holdMs", &s.holdMs},
        {"peakCeilingDb", &s.peakCeilingDb},
    };
    for (const auto& [key, target] : fields) {
        auto value = numberAt(*config, key);
        if (!value) {
            return std::nullopt;
        }
        *target = *value;
    }
    return envelope;
}

std::int16_t sampleFromScaled(double scaled) {
    const double rounded = std::round(scaled);  // halves away from zero
    if (!(rounded < 32767)) {
        return std::isnan(rounded) ? 0 : 32767;
    }
    if (rounded < -32768) {
        return -32768;
    }
    return std::int16_t(rounded);
}

NativeAgc::NativeAgc(Environment environment) : environment_(std::move(environment)) {}

void NativeAgc::configure(const AgcEnvelope& envelope) {
    if (!envelope.config.valid()) {
        return;
    }
    std::lock_guard guard(lock_);
    AgcState& s = state_;
    if (envelope.config.enabled != s.config.enabled) {
        s.gainDb = 0;
        s.quietSamples = 0;
        s.energy = 0;
        s.gateEnergy = 0;
        s.gateOpen = false;
    }
    s.config = envelope.config;
    s.revision = envelope.revision;
    if (lookup(environment_, "PELLIMAR_PLAYER_AGC_BYPASS") == "1") {
        s.config.enabled = false;
    }
    s.gainDb = std::max(s.gainDb, -s.config.maxAttenuationDb);
    s.gainDb = std::min(s.gainDb, s.config.maxBoostDb);
    s.status = s.config.enabled ? "armed" : "disabled";
}

void NativeAgc::poll() {
    if (environment_.empty()) {
        return;
    }
    if (auto it = environment_.find("PELLIMAR_AGC_CONFIG"); it != environment_.end()) {
        if (auto text = readConfigurationFile(it->second)) {
            if (auto envelope = decodeAgcEnvelope(*text)) {
                std::int64_t current;
                {
                    std::lock_guard guard(lock_);
                    current = state_.revision;
                }
                if (envelope->revision != current) {
                    configure(*envelope);
                }
            }
        }
    }
    if (auto it = environment_.find("PELLIMAR_AGC_STATUS"); it != environment_.end()) {
        try {
            replaceFileAtomically(it->second, statusJson() + "\n");
        } catch (const std::exception&) {
            // A status that cannot be built is skipped; the next poll tries again.
        }
    }
}

std::string NativeAgc::statusJson() const {
    const AgcState s = state();
    nlohmann::json status = {
        {"generation", lookup(environment_, "PELLIMAR_AGC_GENERATION")},
        {"revision", s.revision},
        {"enabled", s.config.enabled},
        {"status", s.status},
        {"gainDb", s.gainDb},
        {"peakLimited", s.peakLimited},
        {"updatedAt", iso8601Now()},
        {"pid", ::getpid()},
    };
    if (s.rawFrames > 0) {
        nlohmann::json channels = nlohmann::json::array();
        for (int c = 0; c < 2; ++c) {
            const double rmsDb = std::max(
                -160.0, 10 * std::log10(std::max(1e-16, s.rawEnergy[c] / double(s.rawFrames))));
            const double peakDb = std::max(-160.0, 20 * std::log10(std::max(1e-8, s.rawPeak[c])));
            channels.push_back({{"channel", c}, {"rmsDb", rmsDb}, {"peakDb", peakDb}});
        }
        status["rawInput"] = {{"updatedAtMs", s.rawUpdatedAtMs}, {"channels", channels}};
    }
    // The generation comes from the environment and need not be UTF-8; a bad byte must not
    // cost the controller its status.
    return status.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

AgcState NativeAgc::state() const {
    std::lock_guard guard(lock_);
    return state_;
}

namespace {

// Far wider than the approximations' errors (1e-11 relative gain, 1e-14 dB in the plain
// computation), far narrower than anything audible: decisions closer than this to a threshold
// are made the exact way.
constexpr double kRelativeMargin = 1e-9;
constexpr double kHalfMargin = 1e-5;
// An approximate gain is recomputed exactly after this many multiplicative steps.
constexpr int kGainSteps = 2048;
// The output goes through a buffer of this many frames, so that the few frames the approximate
// gain cannot settle are redone from the input.
constexpr int kBlockFrames = 256;

// The raw statistics in whole numbers. A squared 16-bit sample is a whole number of 2^-30, and
// so is every partial sum below 2^53 of them (2^23 full-scale frames): there the left-to-right
// sum in doubles is exact, so it equals this one in any order. Beyond that it is done as such.
struct RawSums {
    std::int64_t energyLeft = 0;
    std::int64_t energyRight = 0;
    // The peaks come from the largest squares, which the energy needs anyway.
    std::int64_t largestLeft = 0;
    std::int64_t largestRight = 0;

    void add(std::int64_t leftSquare, std::int64_t rightSquare) {
        energyLeft += leftSquare;
        energyRight += rightSquare;
        largestLeft = std::max(largestLeft, leftSquare);
        largestRight = std::max(largestRight, rightSquare);
    }

    void store(const std::int16_t* samples, std::int64_t frames, AgcState& s) const {
        const std::int64_t energy[2] = {energyLeft, energyRight};
        const std::int64_t largest[2] = {largestLeft, largestRight};
        for (int c = 0; c < 2; ++c) {
            // The square root of a square below 2^31 is exact.
            s.rawPeak[c] = std::sqrt(double(largest[c])) / 32768.0;
            if (energy[c] < (std::int64_t(1) << 53)) {
                s.rawEnergy[c] = double(energy[c]) * 0x1p-30;
                continue;
            }
            double sum = 0;
            for (std::int64_t i = 0; i < frames; ++i) {
                const double v = samples[2 * i + c] / 32768.0;
                sum += v * v;
            }
            s.rawEnergy[c] = sum;
        }
    }
};

// Both samples of a frame at once (GCC/Clang vector extensions; SSE2 on x86-64).
using Pair = double __attribute__((vector_size(16)));
using PairBits = std::int64_t __attribute__((vector_size(16)));
using Shorts = std::int16_t __attribute__((vector_size(16)));

// Scales a frame by an approximate gain, rounds to nearest and writes it to `out`. A sample may
// come out otherwise with the exact gain near a half (where nearest also differs from halves
// away from zero), or with the frame near the ceiling or the top of the range; `clear` keeps its
// sign bits only while every sample so far is clear of both (x - y is negative exactly when
// x < y), which costs no comparison.
void scaleFrame(const std::int16_t* frame, double gain, double carefulAbove, PairBits& clear,
                std::int16_t* out) {
    // Adding 1.5 * 2^52 rounds to an integer, which then sits in the low bits.
    constexpr double kRounder = 0x1.8p52;
    const Pair scaled = Pair{double(frame[0]), double(frame[1])} * gain;
    const Pair shifted = scaled + kRounder;
    const Pair error = scaled - (shifted - kRounder);
    const PairBits magnitudeMask = {std::numeric_limits<std::int64_t>::max(),
                                    std::numeric_limits<std::int64_t>::max()};
    const Pair magnitude = Pair(PairBits(scaled) & magnitudeMask);
    const Pair errorMagnitude = Pair(PairBits(error) & magnitudeMask);
    clear &= PairBits(magnitude - carefulAbove) & PairBits(errorMagnitude - (0.5 - kHalfMargin));
    const auto samples = __builtin_shufflevector(Shorts(shifted), Shorts(shifted), 0, 4);
    std::memcpy(out, &samples, sizeof(samples));
}

bool allClear(PairBits clear) {
    return (clear[0] & clear[1]) < 0;
}

// One frame's gain step, computed plainly.
double stepGain(const AgcSettings& c, double level, double gainDb, double riseStep,
                double fallStep) {
    const double levelDb = 10 * std::log10(level);
    double desired = c.targetRmsDb - levelDb;
    if (std::fabs(desired - gainDb) > c.deadbandDb) {
        desired = std::max(desired, -c.maxAttenuationDb);
        desired = std::min(desired, c.maxBoostDb);
        double step = desired - gainDb;
        step = std::max(step, -fallStep);
        step = std::min(step, riseStep);
        gainDb = gainDb + step;
    }
    return gainDb;
}

// The gain step settled without logarithms. With x = level × gain² (the linear gain squared is
// 10^(gainDb / 10)), desired − gainDb is targetRmsDb − 10 log10(x), so the dead band and the
// whole steps become thresholds on x, and the limits thresholds on the level. Each threshold is
// moved by kRelativeMargin to its safe side; closer than that, the plain computation decides.
struct StepThresholds {
    double holdAbove, holdBelow;            // x strictly between: inside the dead band
    double riseBelow, fallAbove;            // x beyond: a whole rise or fall step when unclamped
    double outsideBelow, outsideAbove;      // x beyond: outside the dead band, up or down
    double unclampedAbove, unclampedBelow;  // level between: desired within the limits
    double boostBelow, attenuationAbove;    // level beyond: desired past a limit

    StepThresholds(const AgcSettings& c, double riseStep, double fallStep) {
        auto energy = [&](double db) { return std::pow(10, (c.targetRmsDb + db) / 10); };
        const double up = 1 + kRelativeMargin;
        const double down = 1 - kRelativeMargin;
        holdAbove = energy(-c.deadbandDb) * up;
        holdBelow = energy(c.deadbandDb) * down;
        riseBelow = energy(-std::max(c.deadbandDb, riseStep)) * down;
        fallAbove = energy(std::max(c.deadbandDb, fallStep)) * up;
        outsideBelow = energy(-c.deadbandDb) * down;
        outsideAbove = energy(c.deadbandDb) * up;
        unclampedAbove = energy(-c.maxBoostDb) * up;
        unclampedBelow = energy(c.maxAttenuationDb) * down;
        boostBelow = energy(-c.maxBoostDb) * down;
        attenuationAbove = energy(c.maxAttenuationDb) * up;
    }
};

}  // namespace

// A second build of the loop for processors with AVX2 (chosen when the program loads) is about
// 5 % faster; AVX2 brings no fused multiply-add, so both builds give the same bits. The loader
// picks the build before a sanitizer's runtime is ready (ThreadSanitizer then crashes at start),
// so sanitizer builds keep the default one.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PELLIMAR_AGC_CLONES
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PELLIMAR_AGC_CLONES
#endif
#endif
#ifndef PELLIMAR_AGC_CLONES
#define PELLIMAR_AGC_CLONES __attribute__((target_clones("avx2", "default")))
#endif

PELLIMAR_AGC_CLONES void NativeAgc::process(std::int16_t* samples, std::int64_t frames) {
    std::lock_guard guard(lock_);
    if (frames < 1) {
        return;
    }
    AgcState& s = state_;
    s.rawFrames = frames;
    s.rawUpdatedAtMs = wallClockMs();
    RawSums raw;
    if (!s.config.enabled) {
        for (std::int64_t i = 0; i < frames; ++i) {
            const std::int64_t left = samples[2 * i];
            const std::int64_t right = samples[2 * i + 1];
            raw.add(left * left, right * right);
        }
        raw.store(samples, frames, s);
        return;
    }

    const AgcSettings& c = s.config;
    const double a = std::exp(-1 / (c.windowMs * kSampleRate / 1000));
    const double g = std::exp(-1.0 / 480);
    const double ceiling = std::pow(10, c.peakCeilingDb / 20);
    const double holdFrames = c.holdMs * 48;
    const double riseStep = c.riseDbPerSecond / kSampleRate;
    const double fallStep = c.fallDbPerSecond / kSampleRate;
    const double openDb = c.silenceDb + c.hysteresisDb;
    // The gate compares decibels; away from its two thresholds the comparison is settled in the
    // energy domain, which spares a logarithm per frame without changing a single decision.
    const double closeEnergy = std::pow(10, c.silenceDb / 10);
    const double openEnergy = std::pow(10, openDb / 10);
    const double clearlyOpen = openEnergy * (1 + kRelativeMargin);
    auto gateCompare = [](double x, double thresholdEnergy, double thresholdDb) {
        if (x < thresholdEnergy * (1 - kRelativeMargin)) {
            return -1;
        }
        if (x > thresholdEnergy * (1 + kRelativeMargin)) {
            return 1;
        }
        const double gateDb = 10 * std::log10(x);
        return gateDb < thresholdDb ? -1 : 1;
    };
    const StepThresholds thresholds(c, riseStep, fallStep);
    const double riseFactor = std::pow(10, riseStep / 20);
    const double fallFactor = std::pow(10, -fallStep / 20);

    double energy = s.energy;
    double gateEnergy = s.gateEnergy;
    double gainDb = s.gainDb;
    double quietSamples = s.quietSamples;
    bool gateOpen = s.gateOpen;
    bool peakLimited = false;
    bool tracking = false;

    // The linear gain follows gainDb by multiplication while gainDb moves by whole steps; it is
    // exact when `multiplied` is 0.
    double gain = std::pow(10, gainDb / 20);
    int multiplied = 0;
    auto followStep = [&](double factor) {
        if (++multiplied < kGainSteps) {
            gain *= factor;
        } else {
            gain = std::pow(10, gainDb / 20);
            multiplied = 0;
        }
    };

    // Below this magnitude a scaled sample is clear of the ceiling and of the clamp at 32767.
    const double carefulAbove = std::min(ceiling * (1 - kRelativeMargin) * 32768, 32767.0);

    // The output goes to a block buffer first: the rare frames the approximate gain cannot settle
    // are redone exactly from the input afterwards.
    double gains[kBlockFrames];
    double gainDbs[kBlockFrames];
    std::int16_t out[2 * kBlockFrames];
    for (std::int64_t start = 0; start < frames; start += kBlockFrames) {
        const int n = int(std::min<std::int64_t>(kBlockFrames, frames - start));
        std::int16_t* const block = samples + 2 * start;
        PairBits clear = {-1, -1};

        for (int i = 0; i < n; ++i) {
            const std::int64_t left = block[2 * i];
            const std::int64_t right = block[2 * i + 1];
            const std::int64_t leftSquare = left * left;
            const std::int64_t rightSquare = right * right;
            raw.add(leftSquare, rightSquare);
            // Exactly (l² + r²) × 0.5: the squares and their sum are whole numbers of 2^-30.
            const double ms = double(leftSquare + rightSquare) * 0x1p-31;
            energy = a * energy + (1 - a) * ms;
            gateEnergy = g * gateEnergy + (1 - g) * ms;

            bool belowSilence = false;
            if (gateEnergy > clearlyOpen) {
                gateOpen = true;
                quietSamples = 0;
            } else {
                const double gateLevel = std::max(gateEnergy, 1e-20);
                belowSilence = gateCompare(gateLevel, closeEnergy, c.silenceDb) < 0;
                if (belowSilence) {
                    quietSamples += 1;
                    if (quietSamples >= holdFrames) {
                        gateOpen = false;
                    }
                } else if (gateCompare(gateLevel, openEnergy, openDb) > 0) {
                    gateOpen = true;
                    quietSamples = 0;
                }
            }

            tracking = !belowSilence && gateOpen && ms > 0;
            if (tracking) {
                const double level = std::max(energy, 1e-20);
                const double x = level * gain * gain;
                const bool unclamped =
                    level > thresholds.unclampedAbove && level < thresholds.unclampedBelow;
                if (x > thresholds.holdAbove && x < thresholds.holdBelow) {
                    // inside the dead band
                } else if (unclamped && x < thresholds.riseBelow) {
                    gainDb = gainDb + riseStep;
                    followStep(riseFactor);
                } else if (unclamped && x > thresholds.fallAbove) {
                    gainDb = gainDb + -fallStep;
                    followStep(fallFactor);
                } else {
                    const double before = gainDb;
                    if (level < thresholds.boostBelow && x < thresholds.outsideBelow) {
                        gainDb =
                            gainDb + std::min(std::max(c.maxBoostDb - gainDb, -fallStep), riseStep);
                    } else if (level > thresholds.attenuationAbove && x > thresholds.outsideAbove) {
                        gainDb =
                            gainDb +
                            std::min(std::max(-c.maxAttenuationDb - gainDb, -fallStep), riseStep);
                    } else {
                        gainDb = stepGain(c, level, gainDb, riseStep, fallStep);
                    }
                    if (gainDb != before) {
                        gain = std::pow(10, gainDb / 20);
                        multiplied = 0;
                    }
                }
            }
            gains[i] = gain;
            gainDbs[i] = gainDb;
            scaleFrame(block + 2 * i, gain, carefulAbove, clear, out + 2 * i);
        }

        for (int i = 0; !allClear(clear) && i < n; ++i) {
            PairBits again = {-1, -1};
            scaleFrame(block + 2 * i, gains[i], carefulAbove, again, out + 2 * i);
            if (allClear(again)) {
                continue;
            }
            const double l = block[2 * i] / 32768.0;
            const double r = block[2 * i + 1] / 32768.0;
            const double peak = std::max(std::fabs(l), std::fabs(r));
            // Clearly over the ceiling, the approximate gain tells as much as the exact one.
            double exact = gains[i];
            if (!(exact * peak > ceiling * (1 + kRelativeMargin))) {
                exact = std::pow(10, gainDbs[i] / 20);
            }
            if (exact * peak > ceiling) {
                exact = ceiling / peak;
                peakLimited = true;
            }
            out[2 * i] = sampleFromScaled(l * exact * 32768);
            out[2 * i + 1] = sampleFromScaled(r * exact * 32768);
        }
        std::memcpy(block, out, std::size_t(n) * 2 * sizeof(std::int16_t));
    }
    raw.store(samples, frames, s);
    s.energy = energy;
    s.gateEnergy = gateEnergy;
    s.gainDb = gainDb;
    s.quietSamples = quietSamples;
    s.gateOpen = gateOpen;
    s.peakLimited = peakLimited;
    s.status = tracking ? "active" : "hold";
}

}  // namespace pellimar::player
