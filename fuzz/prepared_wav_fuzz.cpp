// A prepared announcement clip as the player loads it. The input is the file's bytes, handed to
// the reader as an anonymous memory file. An accepted file's samples must be a run of 16-bit
// samples found in the file, and must read back the same once written as a plain WAV.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "announcement_player/prepared_wav.hpp"

namespace {

using namespace pellimar::announcement;
using pellimar::PlayerResult;

PlayerResult<Samples> readBytes(const std::string& bytes) {
    const int fd = ::memfd_create("prepared-wav-fuzz", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
        std::abort();  // the harness itself cannot run
    }
    auto result = readPreparedAnnouncementPCM("/proc/self/fd/" + std::to_string(fd));
    ::close(fd);
    return result;
}

void put(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += char((value >> (8 * i)) & 0xFF);
    }
}

// The samples back as little-endian 16-bit values; aborts on one no 16-bit sample converts to.
std::string pcm16(const Samples& samples) {
    std::string out;
    for (float s : samples) {
        const float scaled = s * 32768.0f;
        if (!(scaled >= -32768.0f && scaled <= 32767.0f) || scaled != float(int(scaled))) {
            std::abort();
        }
        put(out, std::uint32_t(std::uint16_t(std::int16_t(int(scaled)))), 2);
    }
    return out;
}

std::string plainWav(const std::string& data) {
    std::string out = "RIFF";
    put(out, std::uint32_t(36 + data.size()), 4);
    out += "WAVEfmt ";
    put(out, 16, 4);
    put(out, 1, 2);
    put(out, 2, 2);
    put(out, 48000, 4);
    put(out, 192000, 4);
    put(out, 4, 2);
    put(out, 16, 2);
    out += "data";
    put(out, std::uint32_t(data.size()), 4);
    return out + data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    auto samples = readBytes(bytes);
    if (!samples) {
        const std::string& message = samples.error().description();
        // A memory file never fails to read, so only the format's own refusals can come back.
        if (message != kInvalidWav && message != kInvalidChunkBounds && message != kWrongFormat) {
            std::abort();
        }
        return 0;
    }
    const std::string pcm = pcm16(*samples);
    if (pcm.empty() || bytes.find(pcm) == std::string::npos) {
        std::abort();  // samples that are not the file's own
    }
    auto again = readBytes(plainWav(pcm));
    if (!again || pcm16(*again) != pcm) {
        std::abort();  // a plain clip of the same samples reads differently
    }
    return 0;
}
