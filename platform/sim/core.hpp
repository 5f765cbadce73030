#pragma once
// What the simulated audio system's parts share: the per-process state behind SimAudioSystem, its
// index of the world's objects, and the world changes that hardware makes on its own.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/audio_system/property_value.hpp"
#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "platform/sim/world_store.hpp"

namespace pellimar::audio::sim {

enum class Kind { system, device, stream, process, tap };

struct Ref {
    Kind kind = Kind::system;
    std::size_t index = 0;  // device, process or tap index
    std::size_t sub = 0;    // stream index within the device
};

struct Watcher;

// The world's generation a listener's fingerprint was last compared at.
struct Listener : ListenerEntry {
    std::uint64_t checkedGeneration = 0;
};

struct SimAudioSystem::Core {
    std::mutex mutex;
    std::unique_ptr<WorldStore> store;
    std::uint64_t indexedGeneration = 0;
    std::unordered_map<ObjectID, Ref> index;
    std::map<ListenerID, Listener> listeners;
    ListenerID nextListener = 1;
    std::map<asio::io_context*, std::shared_ptr<Watcher>> watchers;

    // The world is looked at once per call (one stat), unless the call itself changes it.
    const World* callWorld = nullptr;

    std::unique_lock<std::mutex> enter() {
        std::unique_lock<std::mutex> guard(mutex);
        callWorld = nullptr;
        return guard;
    }

    // All of these expect `mutex` held.
    Result<const World*, Status> world();
    const Ref* find(const World& w, ObjectID id);
    Status fault(FaultOperation operation, ObjectID object,
                 const AudioObjectPropertyAddress& address);
    Status resolve(const World& w, ObjectID object, const AudioObjectPropertyAddress& address,
                   Resolved& out);
    // A property call's common start: its injected fault, the world, then the value.
    Status lookup(FaultOperation operation, ObjectID object,
                  const AudioObjectPropertyAddress& address, Resolved& out) {
        const AudioObjectPropertyAddress& faultAddress = address;
        if (Status s = fault(operation, object, faultAddress)) {
            return s;
        }
        auto w = world();
        if (!w) {
            return w.error();
        }
        return resolve(**w, object, address, out);
    }
    std::string fingerprint(ObjectID object, const AudioObjectPropertyAddress& address);
    void advanceDelays(ObjectID device, Selector selector);
    Status mutate(const std::function<Status(World&)>& change);

    // Called on `loop`'s thread when the world file was replaced.
    void deliver(asio::io_context* loop);
};

// A format write changes the written format and carries its channel count and rate to the
// stream's other format and its rate to the device, as hardware does.
void applyFormat(Device& d, Stream& s, Selector selector, const AudioStreamBasicDescription& f);
// Consumes the first delay rule that applies; returns it.
std::optional<Delay> takeDelay(World& w, DelayEffect effect, ObjectID object,
                               const std::string& uid);

}  // namespace pellimar::audio::sim
