#pragma once
// The objects this backend makes in the PipeWire graph: process taps (lingering null-sink nodes of
// their own class that the listed processes' streams feed), the capture aggregate (a lingering
// virtual source fed by sub-device capture ports and tap monitor ports) and output aggregates (a
// lingering virtual sink whose monitor ports feed its members side by side). All of them belong to
// the daemon and outlive this process; while it runs, it keeps its taps aimed at their processes.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/audio_system/audio_system.hpp"
#include "platform/audio_system/pipewire/pw_graph.hpp"
#include "platform/audio_system/pipewire/pw_links.hpp"

struct pw_loop;
struct spa_source;

namespace pellimar::audio::pipewire {

// Node properties that mark our objects and keep what they were made from.
inline constexpr char kTapClass[] = "Audio/Tap";
inline constexpr char kTapDescriptionKey[] = "pellimar.tap.description";
inline constexpr char kCompositionKey[] = "pellimar.aggregate.composition";

struct TapInfo {
    std::string uid;
    TapDescription description;
    std::uint32_t channels = 2;
};

// Reads for the facade, on the cache (under the graph's mutex).
std::vector<ObjectID> tapIDs(const GraphState& state);
std::optional<TapInfo> tapInfo(const GraphState& state, ObjectID tap);
std::optional<Value> aggregateComposition(const Node& node);

class ServerObjects {
  public:
    explicit ServerObjects(std::shared_ptr<Graph> graph);
    ~ServerObjects();
    ServerObjects(const ServerObjects&) = delete;
    ServerObjects& operator=(const ServerObjects&) = delete;

    Status createProcessTap(const TapDescription& description, ObjectID& outTap);
    Status destroyProcessTap(ObjectID tap);
    Status setTapDescription(ObjectID tap, const TapDescription& description);
    Status createAggregateDevice(const Value& description, ObjectID& outDevice);
    Status destroyAggregateDevice(ObjectID device);

    // Runs on the loop thread: moves and links streams so that every tap this process made or
    // changed is fed by exactly the streams of its processes.
    void reconcile();

  private:
    void scheduleReconcile();

    std::shared_ptr<Graph> graph_;
    Wiring wiring_;
    std::uint64_t hook_ = 0;
    spa_source* timer_ = nullptr;

    std::mutex mutex_;
    std::set<std::uint64_t> followed_;  // serials of the taps this process keeps aimed
    // Link requests not yet seen in the graph, with when they were made (loop thread only).
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::chrono::steady_clock::time_point>
        pendingLinks_;
};

}  // namespace pellimar::audio::pipewire
