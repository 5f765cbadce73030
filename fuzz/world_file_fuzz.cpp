// The world file as any process reads it: parse, and what parses must survive a round trip.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/sim/world.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pellimar::audio::sim;
    auto world = parseWorld(std::string(reinterpret_cast<const char*>(data), size));
    if (!world) {
        return 0;
    }
    const std::string text = serializeWorld(*world);
    auto again = parseWorld(text);
    if (!again || serializeWorld(*again) != text) {
        std::abort();  // a world we wrote that we cannot read back the same
    }
    return 0;
}
