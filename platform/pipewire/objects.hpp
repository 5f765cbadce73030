#pragma once
// The objects this backend makes in the PipeWire graph: process taps (lingering null-sink nodes of
// their own class that the listed processes' streams feed), the capture aggregate (a lingering
// virtual source fed by sub-device capture ports and tap monitor ports) and output aggregates (a
// lingering virtual sink whose monitor ports feed its members side by side). All of them belong to
// the daemon and outlive this process. While it runs, it keeps its taps fed by their processes'
// streams and its capture devices by their sources, through links and parking sinks that die
// with its connection.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/audio_system/audio_system.hpp"
#include "platform/pipewire/graph.hpp"
#include "platform/pipewire/links.hpp"

struct pw_loop;
struct spa_source;

namespace pellimar::audio::pipewire {

// Node properties that mark our objects and keep what they were made from.
inline constexpr char kTapClass[] = "Audio/Tap";
inline constexpr char kTapDescriptionKey[] = "pellimar.tap.description";
inline constexpr char kCompositionKey[] = "pellimar.aggregate.composition";
// Which node fed how many of an aggregate's channels, in channel order, as made.
inline constexpr char kLayoutKey[] = "pellimar.aggregate.layout";
inline constexpr char kParkingKey[] = "pellimar.tap.parking";
inline constexpr char kReleasedKey[] = "pellimar.tap.released";
// Which channel of an aggregate carries what, in words, for people reading the graph.
inline constexpr char kChannelsKey[] = "pellimar.aggregate.channels";

struct TapInfo {
    std::string uid;
    TapDescription description;
    std::uint32_t channels = 2;
};

// Reads for the facade, on the cache (under the graph's mutex).
std::vector<ObjectID> tapIDs(const GraphState& state);
std::optional<TapInfo> tapInfo(const GraphState& state, ObjectID tap);
std::optional<Value> aggregateComposition(const Node& node);
// A tap's description as the facade hands it out: without the processes a user moved away.
TapDescription capturedDescription(const GraphState& state, ObjectID tap,
                                   TapDescription description);
// The name of one of our aggregates as it was asked for; node.description explains it to people.
std::optional<std::string> aggregateName(const Node& node);

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

    // While someone watches the process list, a stream of a process it has not yet been told
    // of is held off the speakers (in a parking sink, at most kHoldLimit) until it has: its
    // program decides on the change it is told of, and the pass then routes the stream as
    // decided, so that a new app's first samples never play where they should not.
    void watchProcesses(bool watched);
    void processesSeen(const std::set<std::int32_t>& pids);
    static constexpr auto kHoldLimit = std::chrono::milliseconds(500);

    // Runs on the loop thread: moves and links streams so that every tap this process made or
    // changed is fed by exactly the streams of its processes, and relinks its capture devices'
    // sources that came back.
    void reconcile();

    // The links one of our aggregates should have: source port, own port.
    struct AggregatePlan {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> links;
    };

  private:
    // The sink a muted tap's streams are moved to, so that they leave the speakers.
    struct Parking {
        std::uint32_t node = 0;
        std::uint64_t serial = 0;  // 0: none (an unmuted tap)
    };
    using LinkTimes =
        std::map<std::pair<std::uint32_t, std::uint32_t>, std::chrono::steady_clock::time_point>;

    void scheduleReconcile();
    void retryLater(std::chrono::milliseconds delay);
    Result<Parking, Status> makeParking(const std::string& tapNodeName,
                                        const std::string& displayName);
    Status follow(ObjectID tap, const TapInfo& info);
    std::optional<AggregatePlan> aggregatePlan(const GraphState& s, std::uint64_t serial) const;
    bool relinkAggregates(const std::vector<AggregatePlan>& plans,
                          std::chrono::steady_clock::time_point now);

    std::shared_ptr<Graph> graph_;
    Wiring wiring_;
    std::uint64_t hook_ = 0;
    spa_source* event_ = nullptr;
    spa_source* timer_ = nullptr;

    std::mutex mutex_;
    std::map<std::uint64_t, Parking> followed_;   // the taps this process keeps fed, by serial
    std::set<std::uint64_t> followedAggregates_;  // its capture devices, by serial
    LinkTimes linkAttempts_;       // when each link was last asked for (loop thread only)
    bool holding_ = false;         // under mutex_
    std::set<std::int32_t> seen_;  // pids the process-list watcher was told of; mutex_
    std::map<std::uint64_t, std::chrono::steady_clock::time_point> held_;  // loop thread only
    // Streams seen in one of our parking sinks, and the pids a user moved away from each tap, by
    // serials (loop thread only).
    std::set<std::uint64_t> parked_;
    std::map<std::uint64_t, std::set<std::int32_t>> released_;
};

}  // namespace pellimar::audio::pipewire
