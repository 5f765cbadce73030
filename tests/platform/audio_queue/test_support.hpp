#pragma once
// Reading back what a simulated queue recorded.

#include <sndfile.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.hpp"

namespace pellimar::testing {

// Stereo 16-bit samples with the all-zero frames (starvation, padding) left out.
inline std::vector<std::int16_t> withoutSilentFrames(const std::vector<std::int16_t>& samples) {
    std::vector<std::int16_t> kept;
    for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
        if (samples[i] != 0 || samples[i + 1] != 0) {
            kept.push_back(samples[i]);
            kept.push_back(samples[i + 1]);
        }
    }
    return kept;
}

inline std::vector<std::string> recordings(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".wav") {
            found.push_back(entry.path().string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

struct Recording {
    int sampleRate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples;
};

inline Recording readRecording(const std::string& path) {
    Recording r;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        return r;
    }
    r.sampleRate = info.samplerate;
    r.channels = info.channels;
    r.samples.resize(std::size_t(info.frames * info.channels));
    r.samples.resize(std::size_t(sf_readf_short(file, r.samples.data(), info.frames)) *
                     std::size_t(info.channels));
    sf_close(file);
    return r;
}

// Polls `done` for up to `limit`; generous, for a loaded machine.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace pellimar::testing
