#include "process_tap/process_inventory.hpp"

namespace pellimar::process_tap {
namespace {

Result<ProcessInfo, TapError> readProcess(AudioSystem& system, ObjectID object) {
    auto pid = scalar<std::int32_t>(system, object, audio::kAudioProcessPropertyPID, 0);
    if (!pid) {
        return fail(std::move(pid).error());
    }
    auto bundleID = string(system, object, audio::kAudioProcessPropertyBundleID);
    if (!bundleID) {
        return fail(std::move(bundleID).error());
    }
    auto running = scalar<std::uint32_t>(system, object, audio::kAudioProcessPropertyIsRunning, 0);
    if (!running) {
        return fail(std::move(running).error());
    }
    return ProcessInfo{object, *pid, std::move(*bundleID), *running != 0};
}

}  // namespace

nlohmann::json toJson(const ProcessInfo& process) {
    return {{"objectID", process.objectID},
            {"pid", process.pid},
            {"bundleID", process.bundleID},
            {"running", process.running}};
}

nlohmann::json toJson(const std::vector<ProcessInfo>& processes) {
    auto array = nlohmann::json::array();
    for (const auto& process : processes) {
        array.push_back(toJson(process));
    }
    return array;
}

Result<std::vector<ProcessInfo>, TapError> processes(AudioSystem& system) {
    auto ids = objectIDs(system, audio::kAudioHardwarePropertyProcessObjectList);
    if (!ids) {
        return fail(std::move(ids).error());
    }
    std::vector<ProcessInfo> result;
    result.reserve(ids->size());
    for (const ObjectID id : *ids) {
        auto process = readProcess(system, id);
        if (!process) {
            programLog().write(LogLevel::warning, "Ignoring process object " + std::to_string(id) +
                                                      ": " + process.error().description());
            continue;
        }
        result.push_back(std::move(*process));
    }
    return result;
}

}  // namespace pellimar::process_tap
