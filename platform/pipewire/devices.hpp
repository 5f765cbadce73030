#pragma once
// What a device node's properties and formats mean as device and stream values: its class and
// direction, channels, rates, formats and transport.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_system/audio_system.hpp"
#include "platform/pipewire/graph.hpp"

namespace pellimar::audio::pipewire {

enum class Direction { output, input };

// The rate the graph runs at when a node says none.
constexpr double kGraphRate = 48000;

bool isDeviceClass(const std::string& mediaClass);
bool hasDirection(const Node& node, Direction direction);
std::string prop(const Properties& props, const char* key);
std::uint32_t channelCount(const Node& node);
double nominalRate(const Node& node);
std::vector<AudioValueRange> availableRates(const Node& node);
std::uint32_t transportType(const Node& node);
// The platform's description of a SPA sample format; nullopt for formats it has none for.
std::optional<AudioStreamBasicDescription> describe(std::uint32_t spaFormat, double rate,
                                                    std::uint32_t channels);
// What the graph mixes in: interleaved 32-bit float.
AudioStreamBasicDescription virtualFormat(const Node& node);
AudioStreamBasicDescription physicalFormat(const Node& node);
std::vector<AudioStreamRangedDescription> availableFormats(const Node& node, bool physical);

}  // namespace pellimar::audio::pipewire
