#include "platform/audio_system/audio_system.hpp"

#include <cstdlib>

#include "platform/json/json_checks.hpp"
#include "platform/pipewire/audio_system.hpp"
#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"

namespace pellimar::audio {

Value tapDescriptionToJson(const TapDescription& d) {
    Value json{{"name", d.name},
               {"processes", d.processes},
               {"private", d.isPrivate},
               {"exclusive", d.exclusive},
               {"mixdown", d.mixdown},
               {"mono", d.mono},
               {"muteBehavior", std::int32_t(d.muteBehavior)}};
    if (!d.label.empty()) {
        json["label"] = d.label;
    }
    return json;
}

TapDescription tapDescriptionFromJson(const Value& j) {
    TapDescription d;
    d.name = j.at("name").get<std::string>();
    if (auto it = j.find("processes"); it != j.end()) {
        if (!it->is_array()) {
            throw std::runtime_error("\"processes\" must be a list of object IDs");
        }
        for (const auto& id : *it) {
            d.processes.push_back(json::requireWhole<ObjectID>(id, "a process object ID"));
        }
    }
    d.isPrivate = j.value("private", false);
    d.exclusive = j.value("exclusive", false);
    d.mixdown = j.value("mixdown", true);
    d.mono = j.value("mono", false);
    d.muteBehavior = TapMuteBehavior(json::requireWhole(j, "muteBehavior", std::int32_t(0)));
    if (auto it = j.find("label"); it != j.end()) {
        d.label = it->get<std::string>();
    }
    return d;
}

Result<std::unique_ptr<AudioSystem>, std::string> openAudioSystem() {
    const char* chosen = std::getenv("PELLIMAR_AUDIO_BACKEND");
    std::string backend = chosen && *chosen ? chosen : "sim";
    if (backend == "pipewire") {
        auto system = pipewire::PipeWireAudioSystem::open();
        if (!system) {
            return fail(system.error());
        }
        return std::unique_ptr<AudioSystem>(std::move(*system));
    }
    if (backend != "sim") {
        return fail("Unknown audio backend \"" + backend +
                    "\" in PELLIMAR_AUDIO_BACKEND (available: sim, pipewire)");
    }
    auto path = sim::worldPath();
    if (!path) {
        return fail(path.error());
    }
    auto system = sim::SimAudioSystem::open(*path);
    if (!system) {
        return fail(system.error());
    }
    return std::unique_ptr<AudioSystem>(std::move(*system));
}

}  // namespace pellimar::audio
