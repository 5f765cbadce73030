#include "process_tap/recovery.hpp"

#include <optional>
#include <set>
#include <string>

namespace pellimar::process_tap {
namespace {

// The tap UIDs an aggregate's composition lists; nullopt when the composition is not the
// dictionary with a list of tap dictionaries that an aggregate device carries.
std::optional<std::set<std::string>> tapUIDsInComposition(AudioSystem& system, ObjectID device) {
    std::optional<audio::Value> composition;
    const Status status = system.getValueProperty(
        device, audio_objects::globalAddress(audio::kAudioAggregateDevicePropertyComposition),
        composition);
    if (status != 0 || !composition || !composition->is_object()) {
        return std::nullopt;
    }
    const auto taps = composition->find("taps");
    if (taps == composition->end() || !taps->is_array()) {
        return std::nullopt;
    }
    std::set<std::string> uids;
    for (const auto& entry : *taps) {
        if (!entry.is_object()) {
            return std::nullopt;
        }
        const auto uid = entry.find("uid");
        if (uid != entry.end() && uid->is_string()) {
            uids.insert(uid->get<std::string>());
        }
    }
    return uids;
}

}  // namespace

bool isApplicationTapName(std::string_view name) {
    if (name == kPadTapName) {
        return true;
    }
    if (!name.starts_with(kSlotTapNamePrefix)) {
        return false;
    }
    const auto number = name.substr(kSlotTapNamePrefix.size());
    if (number.empty()) {
        return false;
    }
    for (const char c : number) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

Result<void, TapError> destroyExistingAggregate(AudioSystem& system) {
    auto devices = objectIDs(system, audio::kAudioHardwarePropertyDevices);
    if (!devices) {
        return fail(std::move(devices).error());
    }
    for (const ObjectID device : *devices) {
        auto uid = string(system, device, audio::kAudioDevicePropertyDeviceUID);
        if (!uid) {
            return fail(std::move(uid).error());
        }
        if (*uid != aggregateUID) {
            continue;
        }
        const Status status = system.destroyAggregateDevice(device);
        if (status != 0) {
            return fail(TapError::status("Destroy stale aggregate device", status));
        }
    }
    return {};
}

Result<void, TapError> destroyOrphanedApplicationTaps(AudioSystem& system) {
    std::set<std::string> inUse;
    auto devices = objectIDs(system, audio::kAudioHardwarePropertyDevices);
    if (!devices) {
        return fail(std::move(devices).error());
    }
    const auto compositionAddress =
        audio_objects::globalAddress(audio::kAudioAggregateDevicePropertyComposition);
    for (const ObjectID device : *devices) {
        if (!system.hasProperty(device, compositionAddress)) {
            continue;
        }
        auto uids = tapUIDsInComposition(system, device);
        if (!uids) {
            // Without knowing every tap in use, destroying any could break someone's device.
            return {};
        }
        inUse.merge(*uids);
    }

    auto taps = objectIDs(system, audio::kAudioHardwarePropertyTapList);
    if (!taps) {
        return fail(std::move(taps).error());
    }
    int recovered = 0;
    for (const ObjectID tap : *taps) {
        auto name = string(system, tap, audio::kAudioObjectPropertyName);
        if (!name || !isApplicationTapName(*name)) {
            continue;
        }
        auto uid = string(system, tap, audio::kAudioTapPropertyUID);
        if (!uid || uid->empty() || inUse.contains(*uid)) {
            continue;
        }
        if (system.destroyProcessTap(tap) == 0) {
            ++recovered;
        }
    }
    if (recovered > 0) {
        programLog().write(LogLevel::info, "Recovered " + std::to_string(recovered) +
                                               " orphaned application taps.");
    }
    return {};
}

}  // namespace pellimar::process_tap
