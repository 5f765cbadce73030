#pragma once
// Property listeners on the graph: a change of the graph posts one delivery to each run loop that
// has listeners, which tells those whose property's fingerprint changed.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "platform/pipewire/audio_system.hpp"
#include "platform/pipewire/resolution.hpp"

namespace pellimar::audio::pipewire {

struct PipeWireAudioSystem::Listeners : std::enable_shared_from_this<Listeners> {
    using Entry = ListenerEntry;

    std::weak_ptr<Graph> graph;
    std::mutex mutex;
    std::map<ListenerID, Entry> entries;
    // Told, after a loop's process-list watchers have run, which processes they were shown.
    std::function<void(const std::set<std::int32_t>&)> processesSeen;  // under mutex
    std::map<asio::io_context*, bool> pending;  // a delivery is posted to this loop
    ListenerID next = 1;

    // On the PipeWire loop thread: one delivery per loop in flight at a time.
    void changed() {
        std::lock_guard guard(mutex);
        for (auto& [loop, posted] : pending) {
            if (!posted) {
                posted = true;
                asio::post(*loop, [self = weak_from_this(), loop = loop] {
                    if (auto listeners = self.lock()) {
                        listeners->deliver(loop);
                    }
                });
            }
        }
    }

    void deliver(asio::io_context* loop) {
        auto g = graph.lock();
        if (!g) {
            return;
        }
        std::optional<std::set<std::int32_t>> shown;
        std::function<void(const std::set<std::int32_t>&)> seen;
        std::vector<std::tuple<ListenerID, std::shared_ptr<PropertyListener>, ObjectID,
                               AudioObjectPropertyAddress>>
            due;
        {
            std::lock_guard guard(mutex);
            if (auto it = pending.find(loop); it != pending.end()) {
                it->second = false;
            }
            std::lock_guard graphGuard(g->mutex());
            for (auto& [id, e] : entries) {
                if (e.loop != loop) {
                    continue;
                }
                if (watchesProcesses(e) && !shown) {
                    shown.emplace();
                    for (const auto& p : processes(g->state())) {
                        shown->insert(p.pid);
                    }
                    seen = processesSeen;
                }
                std::string now = fingerprint(g->state(), e.object, e.address);
                if (now != e.fingerprint) {
                    e.fingerprint = std::move(now);
                    due.emplace_back(id, e.callback, e.object, e.address);
                }
            }
        }
        for (auto& [id, callback, object, address] : due) {
            {
                std::lock_guard guard(mutex);
                if (!entries.contains(id)) {
                    continue;  // removed by an earlier callback
                }
            }
            (*callback)(object, {address});
        }
        if (shown && seen) {
            seen(*shown);
        }
    }

    static bool watchesProcesses(const Entry& e) {
        return e.object == kAudioObjectSystemObject &&
               e.address.mSelector == kAudioHardwarePropertyProcessObjectList;
    }

    void forget(asio::io_context* loop) {
        std::lock_guard guard(mutex);
        pending.erase(loop);
        std::erase_if(entries, [&](const auto& e) { return e.second.loop == loop; });
    }
};

}  // namespace pellimar::audio::pipewire
