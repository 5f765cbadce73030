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
            }
            if (n <= 0) {
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
    // The JSON library takes a NUL byte for the end of the text and would ignore what follows.
    if (text.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    const auto root = nlohmann::json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        return std::nullopt;
    }
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

// Far wider than the approximations' errors (1e-14 dB, 1e-11 relative gain), far narrower than
// anything audible: decisions closer than this to a threshold are made the exact way.
constexpr double kDbMargin = 1e-6;
constexpr double kRelativeMargin = 1e-9;
constexpr double kHalfMargin = 1e-5;
// An approximate gain is recomputed exactly after this many multiplicative steps.
constexpr int kGainSteps = 2048;

constexpr double kDbPerNeper = 4.35;  // 10 / ln 10, rounded up

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

// What the gain step comes to at a level, and how far (in dB of level and gain together) that
// stays so. `none`: no shortcut, each frame is computed plainly.
struct Decision {
    enum Kind { none, hold, rise, fall, toMaxBoost, toMaxAttenuation } kind = none;
    double level = 0;
    double gainDb = 0;
    double slackDb = 0;
};

Decision decide(const AgcSettings& c, double level, double gainDb, double riseStep,
                double fallStep) {
    Decision d;
    d.level = level;
    d.gainDb = gainDb;
    const double desired = c.targetRmsDb - 10 * std::log10(level);
    const double off = std::fabs(desired - gainDb);
    if (off <= c.deadbandDb) {
        d.kind = Decision::hold;
        d.slackDb = c.deadbandDb - off;
    } else if (desired > c.maxBoostDb) {
        d.kind = Decision::toMaxBoost;
        d.slackDb = std::min(off - c.deadbandDb, desired - c.maxBoostDb);
    } else if (desired < -c.maxAttenuationDb) {
        d.kind = Decision::toMaxAttenuation;
        d.slackDb = std::min(off - c.deadbandDb, -c.maxAttenuationDb - desired);
    } else if (desired - gainDb > riseStep || desired - gainDb < -fallStep) {
        d.kind = desired > gainDb ? Decision::rise : Decision::fall;
        d.slackDb = std::min(
            {off - c.deadbandDb, c.maxBoostDb - desired, desired + c.maxAttenuationDb,
             desired > gainDb ? desired - gainDb - riseStep : gainDb - fallStep - desired});
    }
    d.slackDb -= kDbMargin;
    if (d.slackDb <= 0) {
        d.kind = Decision::none;
    }
    return d;
}

// sampleFromScaled for |scaled| < 2^31, exactly, without a library call: truncation, then the
// fraction decides.
std::int16_t roundedSample(double scaled) {
    const auto whole = std::int64_t(scaled);
    const double fraction = scaled - double(whole);
    const std::int64_t rounded = whole + (fraction >= 0.5) - (fraction <= -0.5);
    return std::int16_t(std::clamp<std::int64_t>(rounded, -32768, 32767));
}

}  // namespace

void NativeAgc::process(std::int16_t* samples, std::int64_t frames) {
    std::lock_guard guard(lock_);
    if (frames < 1) {
        return;
    }
    AgcState& s = state_;
    s.rawEnergy[0] = s.rawEnergy[1] = 0;
    s.rawPeak[0] = s.rawPeak[1] = 0;
    s.rawFrames = frames;
    s.rawUpdatedAtMs = wallClockMs();
    if (!s.config.enabled) {
        for (std::int64_t i = 0; i < frames; ++i) {
            const double l = samples[2 * i] / 32768.0;
            const double r = samples[2 * i + 1] / 32768.0;
            s.rawEnergy[0] += l * l;
            s.rawEnergy[1] += r * r;
            s.rawPeak[0] = std::max(s.rawPeak[0], std::fabs(l));
            s.rawPeak[1] = std::max(s.rawPeak[1], std::fabs(r));
        }
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
    const double riseFactor = std::pow(10, riseStep / 20);
    const double fallFactor = std::pow(10, -fallStep / 20);

    double energy = s.energy;
    double gateEnergy = s.gateEnergy;
    double gainDb = s.gainDb;
    double quietSamples = s.quietSamples;
    bool gateOpen = s.gateOpen;
    bool peakLimited = false;
    bool tracking = false;
    double rawEnergy[2] = {0, 0};
    double rawPeak[2] = {0, 0};

    // The linear gain follows gainDb by multiplication while gainDb moves by whole steps; it is
    // exact when `steps` is 0.
    double gain = std::pow(10, gainDb / 20);
    int steps = 0;
    Decision decision;
    auto exactGain = [&] {
        if (steps != 0) {
            gain = std::pow(10, gainDb / 20);
            steps = 0;
        }
        return gain;
    };

    for (std::int64_t i = 0; i < frames; ++i) {
        std::int16_t* frame = samples + 2 * i;
        const double l = frame[0] / 32768.0;
        const double r = frame[1] / 32768.0;
        rawEnergy[0] += l * l;
        rawEnergy[1] += r * r;
        rawPeak[0] = std::max(rawPeak[0], std::fabs(l));
        rawPeak[1] = std::max(rawPeak[1], std::fabs(r));
        const double peak = std::max(std::fabs(l), std::fabs(r));
        const double ms = (l * l + r * r) * 0.5;
        energy = a * energy + (1 - a) * ms;
        gateEnergy = g * gateEnergy + (1 - g) * ms;
        const double gateLevel = std::max(gateEnergy, 1e-20);
        const bool belowSilence = gateCompare(gateLevel, closeEnergy, c.silenceDb) < 0;

        if (belowSilence) {
            quietSamples += 1;
            if (quietSamples >= holdFrames) {
                gateOpen = false;
            }
        } else if (gateCompare(gateLevel, openEnergy, openDb) > 0) {
            gateOpen = true;
            quietSamples = 0;
        }

        const double before = gainDb;
        if (!belowSilence && gateOpen && ms > 0) {
            const double level = std::max(energy, 1e-20);
            // The level moved by at most kDbPerNeper |ln(level / reference)| dB since the decision
            // was made, the gain by what it stepped: while both together stay inside the
            // decision's slack, the exact computation would decide the same.
            const double moved = std::fabs(level - decision.level) * kDbPerNeper;
            if (decision.kind == Decision::none ||
                moved >= (decision.slackDb - std::fabs(gainDb - decision.gainDb)) *
                             std::min(level, decision.level)) {
                decision = decide(c, level, gainDb, riseStep, fallStep);
            }
            switch (decision.kind) {
                case Decision::none:
                    gainDb = stepGain(c, level, gainDb, riseStep, fallStep);
                    break;
                case Decision::hold:
                    break;
                case Decision::rise:
                    gainDb = gainDb + riseStep;
                    break;
                case Decision::fall:
                    gainDb = gainDb + -fallStep;
                    break;
                case Decision::toMaxBoost:
                    gainDb =
                        gainDb + std::min(std::max(c.maxBoostDb - gainDb, -fallStep), riseStep);
                    break;
                case Decision::toMaxAttenuation:
                    gainDb = gainDb +
                             std::min(std::max(-c.maxAttenuationDb - gainDb, -fallStep), riseStep);
                    break;
            }
            tracking = true;
        } else {
            tracking = false;
        }

        if (gainDb != before) {
            if (gainDb == before + riseStep && steps < kGainSteps) {
                gain *= riseFactor;
                ++steps;
            } else if (gainDb == before + -fallStep && steps < kGainSteps) {
                gain *= fallFactor;
                ++steps;
            } else {
                gain = std::pow(10, gainDb / 20);
                steps = 0;
            }
        }
        const double reach = gain * peak;
        if (reach > ceiling * (1 + kRelativeMargin) ||
            (reach >= ceiling * (1 - kRelativeMargin) && exactGain() * peak > ceiling)) {
            const double limited = ceiling / peak;
            peakLimited = true;
            frame[0] = roundedSample(l * limited * 32768);
            frame[1] = roundedSample(r * limited * 32768);
            continue;
        }
        // Below the ceiling |scaled| <= 32768. The approximate gain rounds the same way unless
        // the product lies within a hair of a half.
        for (int ch = 0; ch < 2; ++ch) {
            const double scaled = frame[ch] * gain;
            const auto whole = std::int64_t(scaled);
            const double fraction = scaled - double(whole);
            if (std::fabs(std::fabs(fraction) - 0.5) < kHalfMargin) {
                frame[ch] = roundedSample((ch == 0 ? l : r) * exactGain() * 32768);
            } else {
                // Below the ceiling no clamp is needed but +1.0 at a 0 dB ceiling.
                frame[ch] = std::int16_t(
                    std::min<std::int64_t>(whole + (fraction > 0.5) - (fraction < -0.5), 32767));
            }
        }
    }
    s.energy = energy;
    s.gateEnergy = gateEnergy;
    s.gainDb = gainDb;
    s.quietSamples = quietSamples;
    s.gateOpen = gateOpen;
    s.peakLimited = peakLimited;
    s.rawEnergy[0] = rawEnergy[0];
    s.rawEnergy[1] = rawEnergy[1];
    s.rawPeak[0] = rawPeak[0];
    s.rawPeak[1] = rawPeak[1];
    s.status = tracking ? "active" : "hold";
}

}  // namespace pellimar::player
