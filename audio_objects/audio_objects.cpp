#include "audio_objects/audio_objects.hpp"

namespace pellimar::audio_objects {

std::string fourCC(Status status) {
    const auto bits = static_cast<std::uint32_t>(status);
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = static_cast<unsigned char>((bits >> shift) & 0xFF);
        if (byte < 0x20 || byte > 0x7E) {
            return "----";
        }
        text.push_back(static_cast<char>(byte));
    }
    return text;
}

}  // namespace pellimar::audio_objects
