#pragma once
// The program's entry: one command per run, its JSON document on standard output, or one
// "[output-fabric] " line on standard error.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "output_fabric/device_reader.hpp"

namespace pellimar::output_fabric {

inline constexpr std::string_view kUsageText =
    "Usage: pellimar-output-fabric list | ensure JSON | remove";

// Opens the audio system when a command first needs it, so that argument errors are reported
// whatever state the audio system is in.
using SystemOpener = std::function<Result<AudioSystem*, std::string>()>;

// The work of one run, without printing: the document to print, or the failure.
Fallible<nlohmann::json> runCommand(const std::vector<std::string>& arguments,
                                    const SystemOpener& openSystem, const Pauses& pauses);

// Runs the program on the arguments after its name, prints the outcome and returns the exit
// status.
int runOutputFabric(const std::vector<std::string>& arguments, const SystemOpener& openSystem,
                    const Pauses& pauses);

}  // namespace pellimar::output_fabric
