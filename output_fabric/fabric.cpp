#include "output_fabric/fabric.hpp"

#include <map>

namespace pellimar::output_fabric {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr int kChannelReadings = 50;

json ensureResult(const std::vector<std::string>& members, std::int64_t channels) {
    return {{"members", members},
            {"name", aggregateName},
            {"ok", true},
            {"outputChannels", channels},
            {"stableId", stableId(aggregateUID)}};
}

bool isNumberWithTruth(const json* value, bool truth) {
    return value != nullptr && value->is_number() && (value->get<double>() != 0) == truth;
}

const json* find(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// Whether an existing device's composition is the fabric we are asked for.
bool compositionMatches(const json& composition, const std::vector<std::string>& memberUIDs,
                        const std::string& masterUID) {
    const json* subdevices = find(composition, "subdevices");
    if (subdevices == nullptr || !subdevices->is_array()) {
        return false;
    }
    std::vector<std::string> uids;
    for (const auto& entry : *subdevices) {
        if (!entry.is_object()) {
            return false;
        }
        if (const json* uid = find(entry, "uid"); uid != nullptr && uid->is_string()) {
            uids.push_back(uid->get<std::string>());
        }
    }
    const json* master = find(composition, "master");
    return uids == memberUIDs && isNumberWithTruth(find(composition, "stacked"), false) &&
           !isNumberWithTruth(find(composition, "private"), true) && master != nullptr &&
           master->is_string() && master->get<std::string>() == masterUID;
}

}  // namespace

Fallible<void> destroyExistingAggregate(AudioSystem& system) {
    auto ids = audio_objects::objectIDs<FabricError>(system);
    if (!ids) {
        return fail(ids.error());
    }
    for (ObjectID device : *ids) {
        auto uid = deviceUID(system, device);
        if (uid && *uid == aggregateUID) {
            if (Status status = system.destroyAggregateDevice(device)) {
                return fail(FabricError::status("Destroy existing output fabric", status));
            }
            programLog().detail(LogLevel::info,
                                "Removed the output fabric " + std::to_string(device) + ".");
        }
    }
    return {};
}

Fallible<json> ensure(AudioSystem& system, const std::string& text, const Pauses& pauses) {
    if (!isUTF8(text)) {
        return fail(FabricError::usage("Invalid output fabric JSON encoding."));
    }
    auto fabric = decodeFabric(text);
    if (!fabric) {
        return fail(fabric.error());
    }
    std::vector<std::string> enabled;
    for (const auto& m : fabric->members) {
        if (m.enabled.value_or(true)) {
            enabled.push_back(m.stableId);
        }
    }
    if (enabled.size() < 2) {
        return fail(
            FabricError::message("macOS output fabric requires at least two enabled devices."));
    }
    auto devices = allOutputDevices(system);
    if (!devices) {
        return fail(devices.error());
    }
    std::map<std::string, const OutputDeviceSummary*> index;
    for (const auto& d : *devices) {
        index.emplace(stableId(d.uid), &d);
    }
    const OutputDeviceSummary* master = nullptr;
    if (fabric->clockMasterStableId && index.contains(*fabric->clockMasterStableId)) {
        master = index.at(*fabric->clockMasterStableId);
    } else if (index.contains(enabled.front())) {
        master = index.at(enabled.front());
    } else {
        return fail(FabricError::message("Output fabric clock master is unavailable."));
    }

    if (programLog().wants(LogLevel::info)) {
        std::string members;
        for (const auto& id : enabled) {
            members += (members.empty() ? "" : ", ") + id;
        }
        programLog().write(LogLevel::info, "Ensure: members " + members + "; clock master " +
                                               stableId(master->uid) + ".");
    }
    std::int64_t expected = 0;
    std::vector<std::string> memberUIDs;
    json subdevices = json::array();
    for (const auto& id : enabled) {
        auto it = index.find(id);
        if (it == index.end()) {
            return fail(FabricError::message("Output fabric member is unavailable: " + id));
        }
        expected += it->second->channels;
        memberUIDs.push_back(it->second->uid);
        subdevices.push_back(
            {{"uid", it->second->uid},
             {"drift", it->second->uid != master->uid},
             {"drift quality", audio::kAudioAggregateDriftCompensationHighQuality}});
    }

    auto ids = audio_objects::objectIDs<FabricError>(system);
    if (!ids) {
        return fail(ids.error());
    }
    for (ObjectID device : *ids) {
        auto uid = deviceUID(system, device);
        if (!uid || *uid != aggregateUID) {
            continue;
        }
        std::optional<audio::Value> composition;
        if (system.getValueProperty(
                device,
                audio_objects::globalAddress(audio::kAudioAggregateDevicePropertyComposition),
                composition) != 0 ||
            !composition || !composition->is_object()) {
            continue;
        }
        if (!compositionMatches(*composition, memberUIDs, master->uid)) {
            continue;
        }
        auto count = outputChannels(system, device);
        if (count && *count == expected) {
            programLog().detail(LogLevel::info, "Reusing the output fabric " +
                                                    std::to_string(device) + " with " +
                                                    std::to_string(expected) + " channels.");
            return ensureResult(enabled, expected);
        }
    }

    (void)destroyExistingAggregate(system);
    const json description = {{"name", aggregateName},    {"uid", aggregateUID},
                              {"private", false},         {"stacked", false},
                              {"subdevices", subdevices}, {"master", master->uid}};
    ObjectID created = 0;
    Status status = system.createAggregateDevice(description, created);
    for (auto pause : {250ms, 500ms, 750ms}) {
        if (status == 0) {
            break;
        }
        programLog().detail(LogLevel::warning,
                            FabricError::status("Create output fabric", status).description() +
                                " Retrying in " + std::to_string(pause.count()) + " ms.");
        pauses.sleep(pause);
        (void)destroyExistingAggregate(system);
        status = system.createAggregateDevice(description, created);
    }
    if (status != 0) {
        return fail(FabricError::status("Create output fabric", status));
    }

    programLog().detail(LogLevel::info, "Created the output fabric " + std::to_string(created) +
                                            "; waiting for " + std::to_string(expected) +
                                            " channels.");
    std::int64_t reading = 0;
    for (int attempt = 0; attempt < kChannelReadings; ++attempt) {
        auto count = outputChannels(system, created);
        reading = count ? *count : 0;
        if (reading == expected) {
            programLog().detail(LogLevel::debug,
                                "Channels read " + std::to_string(attempt + 1) + " times.");
            return ensureResult(enabled, expected);
        }
        pauses.runLoop(100ms);
    }
    (void)destroyExistingAggregate(system);
    return fail(FabricError::message("Output fabric exposes " + std::to_string(reading) +
                                     " channels; expected " + std::to_string(expected) + "."));
}

}  // namespace pellimar::output_fabric
