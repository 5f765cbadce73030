#pragma once
// What the world's source files share and its callers do not need.

#include <cstdint>
#include <string>

#include "platform/sim/world.hpp"

namespace pellimar::audio::sim {

inline constexpr const char* kNotFinite =
    "a number in the world is not finite (the file form cannot hold it)";

// Gives the device and its streams the next free IDs where they have none.
void assignIDs(World& world, Device& device);
// The default machine with IDs from firstID on (at least 2).
World defaultWorldFrom(std::uint32_t firstID);

// Four-character codes: whether all four bytes print, and their text form both ways.
bool printableCode(std::uint32_t code);
std::string fourCharText(std::uint32_t code);
std::uint32_t fourCharValue(const std::string& s);

}  // namespace pellimar::audio::sim
