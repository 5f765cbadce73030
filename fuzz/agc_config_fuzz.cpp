// The gain control's configuration file, as the player reads it, and the settings it accepts
// applied to a chunk of audio.

#include <cstdint>
#include <iterator>
#include <string>

#include "player/native_agc.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pellimar::player;
    auto envelope = decodeAgcEnvelope(std::string(reinterpret_cast<const char*>(data), size));
    if (!envelope) {
        return 0;
    }
    NativeAgc agc(Environment{});
    agc.configure(*envelope);
    std::int16_t samples[2 * 256];
    for (std::size_t i = 0; i < std::size(samples); ++i) {
        samples[i] = std::int16_t(size > 0 ? data[i % size] * 257 - 32768 : 0);
    }
    agc.process(samples, 256);
    (void)agc.statusJson();
    return 0;
}
