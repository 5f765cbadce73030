#pragma once
// Property values of the graph's objects as the platform hands them out: the system object's
// lists and defaults, devices and their streams (by node serial), taps and processes (clients by
// pid); and the fingerprint listeners compare.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/audio_system/property_value.hpp"
#include "platform/pipewire/graph.hpp"

namespace pellimar::audio::pipewire {

// One audio process: the clients of one pid.
struct Process {
    ObjectID id = 0;
    std::int32_t pid = 0;
    std::string bundleID;
    bool running = false;
};

std::vector<Process> processes(const GraphState& s);

Status resolve(const GraphState& s, ObjectID object, const AudioObjectPropertyAddress& address,
               Resolved& out);
// Resolved values are copies, so the graph's lock is needed only while resolving.
Status resolveLocked(Graph& graph, ObjectID object, const AudioObjectPropertyAddress& address,
                     Resolved& out);
std::string fingerprint(const GraphState& s, ObjectID object,
                        const AudioObjectPropertyAddress& address);

}  // namespace pellimar::audio::pipewire
