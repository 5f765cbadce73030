#pragma once
// The audio processes the audio system knows, as printed by `list` and used to aim the taps.

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "process_tap/capture.hpp"

namespace pellimar::process_tap {

struct ProcessInfo {
    ObjectID objectID = 0;
    std::int32_t pid = 0;
    std::string bundleID;
    bool running = false;
    friend bool operator==(const ProcessInfo&, const ProcessInfo&) = default;
};

nlohmann::json toJson(const ProcessInfo& process);
nlohmann::json toJson(const std::vector<ProcessInfo>& processes);

// Processes whose properties cannot be read are logged and left out; only a failure to read the
// list itself fails.
Result<std::vector<ProcessInfo>, TapError> processes(AudioSystem& system);

}  // namespace pellimar::process_tap
