#include "player/native_agc.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>

#include <nlohmann/json.hpp>

#include "platform/common/atomic_file.hpp"

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

std::optional<std::int64_t> wholeNumber(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        if (u > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return std::int64_t(u);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9.2e18 && d <= 9.2e18) {
            return std::int64_t(d);
        }
    }
    return std::nullopt;
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
    if (auto r = wholeNumber(*revision)) {
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

void NativeAgc::process(std::int16_t* samples, std::int64_t frames) {
    std::lock_guard guard(lock_);
    if (frames < 1) {
        return;
    }
    AgcState& s = state_;
    s.rawEnergy[0] = s.rawEnergy[1] = 0;
    s.rawPeak[0] = s.rawPeak[1] = 0;
    s.rawFrames = frames;
    for (std::int64_t i = 0; i < frames; ++i) {
        const double l = samples[2 * i] / 32768.0;
        const double r = samples[2 * i + 1] / 32768.0;
        s.rawEnergy[0] += l * l;
        s.rawEnergy[1] += r * r;
        s.rawPeak[0] = std::max(s.rawPeak[0], std::fabs(l));
        s.rawPeak[1] = std::max(s.rawPeak[1], std::fabs(r));
    }
    s.rawUpdatedAtMs = wallClockMs();
    if (!s.config.enabled) {
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
    constexpr double kMargin = 1e-9;
    auto gateCompare = [](double x, double thresholdEnergy, double thresholdDb) {
        if (x < thresholdEnergy * (1 - kMargin)) {
            return -1;
        }
        if (x > thresholdEnergy * (1 + kMargin)) {
            return 1;
        }
        const double gateDb = 10 * std::log10(x);
        return gateDb < thresholdDb ? -1 : 1;
    };
    s.peakLimited = false;

    // The linear gain is recomputed only when gainDb moved; in hold and inside the dead band it
    // does not, which keeps the per-frame cost to one or two logarithms.
    double cachedGainDb = s.gainDb;
    double cachedGain = std::pow(10, cachedGainDb / 20);
    bool tracking = false;

    for (std::int64_t i = 0; i < frames; ++i) {
        std::int16_t* frame = samples + 2 * i;
        const double l = frame[0] / 32768.0;
        const double r = frame[1] / 32768.0;
        const double peak = std::max(std::fabs(l), std::fabs(r));
        const double ms = (l * l + r * r) * 0.5;
        s.energy = a * s.energy + (1 - a) * ms;
        s.gateEnergy = g * s.gateEnergy + (1 - g) * ms;
        const double gateLevel = std::max(s.gateEnergy, 1e-20);
        const bool belowSilence = gateCompare(gateLevel, closeEnergy, c.silenceDb) < 0;

        if (belowSilence) {
            s.quietSamples += 1;
            if (s.quietSamples >= holdFrames) {
                s.gateOpen = false;
            }
        } else if (gateCompare(gateLevel, openEnergy, openDb) > 0) {
            s.gateOpen = true;
            s.quietSamples = 0;
        }

        if (!belowSilence && s.gateOpen && ms > 0) {
            const double levelDb = 10 * std::log10(std::max(s.energy, 1e-20));
            double desired = c.targetRmsDb - levelDb;
            if (std::fabs(desired - s.gainDb) > c.deadbandDb) {
                desired = std::max(desired, -c.maxAttenuationDb);
                desired = std::min(desired, c.maxBoostDb);
                double step = desired - s.gainDb;
                step = std::max(step, -fallStep);
                step = std::min(step, riseStep);
                s.gainDb = s.gainDb + step;
            }
            tracking = true;
        } else {
            tracking = false;
        }

        if (s.gainDb != cachedGainDb) {
            cachedGainDb = s.gainDb;
            cachedGain = std::pow(10, cachedGainDb / 20);
        }
        double gain = cachedGain;
        if (gain * peak > ceiling) {
            gain = ceiling / peak;
            s.peakLimited = true;
        }
        frame[0] = sampleFromScaled(l * gain * 32768);
        frame[1] = sampleFromScaled(r * gain * 32768);
    }
    s.status = tracking ? "active" : "hold";
}

}  // namespace pellimar::player
