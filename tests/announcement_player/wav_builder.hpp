#pragma once
// Builds WAV files byte by byte, so that tests can make exactly the layout they need.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace pellimar::testing {

struct WavBytes {
    std::string bytes = std::string("RIFF\0\0\0\0WAVE", 12);

    WavBytes& chunk(const std::string& id, const std::string& body, bool pad = true) {
        bytes += id;
        le32(std::uint32_t(body.size()));
        bytes += body;
        if (pad && body.size() % 2) {
            bytes += '\0';
        }
        return *this;
    }
    // A "fmt " body: tag, channels, rate, byte rate, block align, bits.
    WavBytes& fmt(std::uint16_t tag = 1, std::uint16_t channels = 2, std::uint32_t rate = 48000,
                  std::uint16_t align = 4, std::uint16_t bits = 16,
                  std::uint32_t byteRate = 192000) {
        std::string body;
        put16(body, tag);
        put16(body, channels);
        put32(body, rate);
        put32(body, byteRate);
        put16(body, align);
        put16(body, bits);
        return chunk("fmt ", body);
    }
    WavBytes& data(const std::vector<std::int16_t>& samples) {
        std::string body;
        for (auto s : samples) {
            put16(body, std::uint16_t(s));
        }
        return chunk("data", body);
    }
    // Sets the RIFF size from the length (plus `skew`).
    std::string finish(std::int64_t skew = 0) {
        std::string out = bytes;
        const auto size = std::uint32_t(std::int64_t(out.size()) - 8 + skew);
        for (int i = 0; i < 4; ++i) {
            out[4 + i] = char((size >> (8 * i)) & 0xFF);
        }
        return out;
    }
    void write(const std::string& path, std::int64_t skew = 0) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << finish(skew);
    }

    static void put16(std::string& s, std::uint16_t v) {
        s += char(v & 0xFF);
        s += char(v >> 8);
    }
    static void put32(std::string& s, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            s += char((v >> (8 * i)) & 0xFF);
        }
    }

  private:
    void le32(std::uint32_t v) { put32(bytes, v); }
};

// A canonical prepared clip: frame i holds (i % 1000 + 1, -(i % 1000 + 1)).
inline std::vector<std::int16_t> rampSamples(int frames) {
    std::vector<std::int16_t> samples;
    for (int i = 0; i < frames; ++i) {
        samples.push_back(std::int16_t(i % 1000 + 1));
        samples.push_back(std::int16_t(-(i % 1000 + 1)));
    }
    return samples;
}

inline std::string writeClip(const std::string& path, int frames) {
    WavBytes().fmt().data(rampSamples(frames)).write(path);
    return path;
}

}  // namespace pellimar::testing
