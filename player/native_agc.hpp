#pragma once
// The stream player's automatic gain control: settings steered by the controller through a JSON
// file, a status file written back, and the per-sample gain on 16-bit stereo chunks.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace pellimar::player {

using Environment = std::map<std::string, std::string>;

Environment processEnvironment();

struct AgcSettings {
    bool enabled = false;
    double targetRmsDb = -20;
    double maxBoostDb = 12;
    double maxAttenuationDb = 24;
    double windowMs = 3000;
    double deadbandDb = 1;
    double riseDbPerSecond = 1;
    double fallDbPerSecond = 12;
    double silenceDb = -60;
    double hysteresisDb = 3;
    double holdMs = 1000;
    double peakCeilingDb = -1.5;

    bool valid() const;
};

struct AgcEnvelope {
    std::int64_t revision = 0;
    AgcSettings config;
};

// The content of a configuration file, or nothing when it is not a complete envelope.
std::optional<AgcEnvelope> decodeAgcEnvelope(const std::string& text);

// Everything the gain control keeps between chunks; a copy is what tests and the status see.
struct AgcState {
    std::int64_t revision = -1;
    AgcSettings config;
    double energy = 0;
    double gateEnergy = 0;
    double gainDb = 0;
    double quietSamples = 0;
    bool gateOpen = false;
    std::string status = "disabled";
    bool peakLimited = false;
    double rawEnergy[2] = {0, 0};
    double rawPeak[2] = {0, 0};
    std::int64_t rawFrames = 0;
    double rawUpdatedAtMs = 0;
};

// One scaled output value as a sample: nearest integer, halves away from zero, clamped.
std::int16_t sampleFromScaled(double scaled);

class NativeAgc {
  public:
    explicit NativeAgc(Environment environment = processEnvironment());
    NativeAgc(const NativeAgc&) = delete;
    NativeAgc& operator=(const NativeAgc&) = delete;

    void configure(const AgcEnvelope& envelope);
    // Reads the configuration file and writes the status file; never fails.
    void poll();
    // Measures, and when enabled rewrites in place, `frames` interleaved stereo frames.
    void process(std::int16_t* samples, std::int64_t frames);

    AgcState state() const;
    // The status object as it would be written now (compact JSON).
    std::string statusJson() const;

  private:
    const Environment environment_;
    mutable std::mutex lock_;
    AgcState state_;
};

}  // namespace pellimar::player
