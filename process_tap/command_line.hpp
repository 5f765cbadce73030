#pragma once
// The program's entry: command line, the one JSON document on standard output, and the run loop
// that keeps the capture in step with running applications until SIGINT or SIGTERM.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/run_loop/run_loop.hpp"
#include "process_tap/capture.hpp"

namespace pellimar::process_tap {

inline constexpr std::string_view kUsageText =
    "Usage: pellimar-process-tap list | run [--live-input-name NAME] [slot-bundle-id ...]";

const std::vector<std::string>& defaultSlotBundleIDs();

struct RunOptions {
    std::vector<std::string> slotBundleIDs;
    std::optional<std::string> liveInputName;
    friend bool operator==(const RunOptions&, const RunOptions&) = default;
};

// The arguments after "run".
Result<RunOptions, TapError> parseRunArguments(const std::vector<std::string>& arguments);

// Pretty JSON, then the line feed as a write of its own; nothing when the document cannot be
// encoded.
Result<void, std::string> printDocument(const nlohmann::json& document);

// Runs the program on the arguments after its name; returns the exit status. The audio system
// delivers its listeners on the loop, so the loop must outlive it.
int runProcessTap(const std::vector<std::string>& arguments, AudioSystem& system, RunLoop& loop);

}  // namespace pellimar::process_tap
