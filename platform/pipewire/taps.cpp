// Process taps: lingering null-sink nodes of a class no session manager picks as a default. A
// "muted when tapped" tap gets its streams through the session manager's `target.object`
// metadata, so the manager itself moves them off the speakers and back again; we never delete
// its links, which it would not restore. An unmuted tap gets extra links of ours.

#include <pipewire/keys.h>
#include <pipewire/node.h>
#include <pipewire/pipewire.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "platform/pipewire/objects.hpp"

namespace pellimar::audio::pipewire {

namespace {

constexpr char kStreamClass[] = "Stream/Output/Audio";
constexpr char kTargetObject[] = "target.object";
constexpr char kTargetNode[] = "target.node";  // what the session manager's restore writes
constexpr auto kLinkRetry = std::chrono::seconds(2);

std::string prop(const Properties& props, const std::string& key) {
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
}

bool isTap(const Node& node) {
    return node.mediaClass() == kTapClass && node.props.contains(kTapDescriptionKey);
}

// The node name of a tap: stable for a given tap name, so the session manager's saved state
// does not grow with every run.
std::string tapNodeName(const GraphState& s, const std::string& tapName) {
    std::string slug;
    for (unsigned char c : tapName) {
        if (std::isalnum(c)) {
            slug += char(std::tolower(c));
        } else if (!slug.empty() && slug.back() != '-') {
            slug += '-';
        }
    }
    while (!slug.empty() && slug.back() == '-') {
        slug.pop_back();
    }
    const std::string base = "org.pellimar.tap" + (slug.empty() ? "" : "." + slug);
    std::string name = base;
    for (int n = 2; s.nodeByName(name) != nullptr; ++n) {
        name = base + "-" + std::to_string(n);
    }
    return name;
}

std::string pidOf(const Client& client) {
    std::string pid = prop(client.props, PW_KEY_APP_PROCESS_ID);
    return pid.empty() ? prop(client.props, PW_KEY_SEC_PID) : pid;
}

// The client's pid as a number; 0 when it names none.
std::int32_t pidNumber(const Client& client) {
    const std::string pid = pidOf(client);
    char* end = nullptr;
    const long value = std::strtol(pid.c_str(), &end, 10);
    return end != pid.c_str() ? std::int32_t(value) : 0;
}

// The pid of a stream's process, once its client is named; 0 before.
std::int32_t streamPid(const GraphState& s, const Node& node) {
    const std::string clientID = prop(node.props, PW_KEY_CLIENT_ID);
    for (const auto& [serial, client] : s.clients) {
        if (std::to_string(client.id) == clientID) {
            return client.described ? pidNumber(client) : 0;
        }
    }
    return 0;
}

std::set<std::int32_t> currentPids(const GraphState& s) {
    std::set<std::int32_t> pids;
    for (const auto& [serial, client] : s.clients) {
        if (const std::int32_t pid = pidNumber(client); client.described && pid != 0) {
            pids.insert(pid);
        }
    }
    return pids;
}

// The output streams of the given process objects (a process is all clients of one pid).
std::set<std::uint32_t> streamsOf(const GraphState& s, const std::vector<ObjectID>& processes) {
    std::set<std::string> pids;
    for (ObjectID process : processes) {
        if (auto it = s.clients.find(process); it != s.clients.end()) {
            if (std::string pid = pidOf(it->second); !pid.empty()) {
                pids.insert(pid);
            }
        }
    }
    std::set<std::string> clientIDs;
    for (const auto& [serial, client] : s.clients) {
        if (pids.contains(pidOf(client))) {
            clientIDs.insert(std::to_string(client.id));
        }
    }
    std::set<std::uint32_t> streams;
    for (const auto& [serial, node] : s.nodes) {
        if (node.mediaClass() == kStreamClass &&
            clientIDs.contains(prop(node.props, PW_KEY_CLIENT_ID))) {
            streams.insert(node.id);
        }
    }
    return streams;
}

}  // namespace

// A changed description is kept on the metadata's global subject under the tap's serial, never
// under its node id: the session manager clears a removed node's entries some time after the
// node went, and by then the id can be a new tap's, whose description it then deleted (measured).
std::string changedDescriptionKey(ObjectID tap) {
    return std::string(kTapDescriptionKey) + "." + std::to_string(tap);
}

// The pids a user moved away from a tap by hand during its capture, kept beside its description.
std::string releasedKey(ObjectID tap) {
    return std::string(kReleasedKey) + "." + std::to_string(tap);
}

std::string tapDisplayName(const TapDescription& description) {
    return "Pellimar capture: " +
           (description.label.empty() ? description.name : description.label);
}

std::set<std::int32_t> releasedPids(const GraphState& s, ObjectID tap) {
    std::set<std::int32_t> pids;
    auto it = s.defaults.find(releasedKey(tap));
    if (it == s.defaults.end()) {
        return pids;
    }
    const Value list = Value::parse(it->second, nullptr, false);
    if (list.is_array()) {
        for (const auto& pid : list) {
            if (pid.is_number_integer()) {
                pids.insert(pid.get<std::int32_t>());
            }
        }
    }
    return pids;
}

TapDescription capturedDescription(const GraphState& s, ObjectID tap, TapDescription description) {
    const auto released = releasedPids(s, tap);
    if (released.empty()) {
        return description;
    }
    std::erase_if(description.processes, [&](ObjectID process) {
        auto it = s.clients.find(process);
        return it != s.clients.end() && released.contains(pidNumber(it->second));
    });
    return description;
}

std::vector<ObjectID> tapIDs(const GraphState& s) {
    std::vector<ObjectID> ids;
    for (const auto& [serial, node] : s.nodes) {
        if (isTap(node)) {
            ids.push_back(ObjectID(serial));
        }
    }
    return ids;
}

std::optional<TapInfo> tapInfo(const GraphState& s, ObjectID tap) {
    const Node* node = s.nodeBySerial(tap);
    if (!node || !isTap(*node)) {
        return std::nullopt;
    }
    TapInfo info;
    info.uid = node->name();
    // A changed description lives in the metadata (node properties are fixed once made).
    std::string text = node->props.at(kTapDescriptionKey);
    if (auto it = s.defaults.find(changedDescriptionKey(tap)); it != s.defaults.end()) {
        text = it->second;
    }
    try {
        info.description = tapDescriptionFromJson(Value::parse(text));
    } catch (const std::exception&) {
        info.description.name = prop(node->props, PW_KEY_NODE_NAME);
    }
    info.channels = prop(node->props, PW_KEY_AUDIO_CHANNELS) == "1" ? 1 : 2;
    return info;
}

ServerObjects::ServerObjects(std::shared_ptr<Graph> graph)
    : graph_(std::move(graph)), wiring_(graph_) {
    pw_thread_loop_lock(graph_->loop());
    pw_loop* loop = pw_thread_loop_get_loop(graph_->loop());
    // A pass runs as soon as the loop is free after a change, so that a new stream is aimed
    // before the session manager links it; signals in between coalesce into one pass.
    event_ = pw_loop_add_event(
        loop, [](void* data, std::uint64_t) { static_cast<ServerObjects*>(data)->reconcile(); },
        this);
    timer_ = pw_loop_add_timer(
        loop, [](void* data, std::uint64_t) { static_cast<ServerObjects*>(data)->reconcile(); },
        this);
    pw_thread_loop_unlock(graph_->loop());
    hook_ = graph_->addChangeHook([this] { scheduleReconcile(); });
    wiring_.setChangeHook([this] { scheduleReconcile(); });
}

ServerObjects::~ServerObjects() {
    graph_->removeChangeHook(hook_);
    wiring_.setChangeHook(nullptr);
    pw_thread_loop_lock(graph_->loop());  // no hook or pass is running past this point
    pw_loop* loop = pw_thread_loop_get_loop(graph_->loop());
    for (spa_source* source : {event_, timer_}) {
        if (source) {
            pw_loop_destroy_source(loop, source);
        }
    }
    pw_thread_loop_unlock(graph_->loop());
}

void ServerObjects::scheduleReconcile() {
    {
        std::lock_guard guard(mutex_);
        if (followed_.empty() && followedAggregates_.empty()) {
            return;
        }
    }
    if (event_) {
        pw_loop_signal_event(pw_thread_loop_get_loop(graph_->loop()), event_);
    }
}

void ServerObjects::retryLater(std::chrono::milliseconds delay) {
    timespec value{time_t(delay.count() / 1000), long(delay.count() % 1000) * 1000 * 1000};
    pw_loop_update_timer(pw_thread_loop_get_loop(graph_->loop()), timer_, &value, nullptr, false);
}

void ServerObjects::reconcile() {
    std::map<std::uint64_t, Parking> followed;
    std::set<std::uint64_t> aggregates;
    bool holding = false;
    std::set<std::int32_t> seen;
    {
        std::lock_guard guard(mutex_);
        followed = followed_;
        aggregates = followedAggregates_;
        holding = holding_;
        seen = seen_;
    }
    struct Aim {
        std::uint64_t serial = 0;
        std::uint32_t node = 0;
        std::uint32_t parking = 0;  // the muted streams' sink; 0 for an unmuted tap
        std::uint64_t parkingSerial = 0;
        std::set<std::uint32_t> streams;
    };
    std::vector<Aim> aims;
    std::map<std::uint32_t, Properties> metadata;
    std::set<std::string> parkingSerials;  // ours, and every tap: no stream is aimed there unasked
    std::set<std::string> parkingNodes;
    std::vector<AggregatePlan> plans;
    std::map<std::uint32_t, std::pair<std::uint64_t, std::int32_t>> streams;  // id: serial, pid
    {
        std::lock_guard guard(graph_->mutex());
        const GraphState& s = graph_->state();
        if (!s.connected) {
            return;
        }
        for (const auto& [serial, parking] : followed) {
            auto info = tapInfo(s, ObjectID(serial));
            if (!info) {
                continue;
            }
            Aim aim;
            aim.serial = serial;
            aim.node = s.nodeBySerial(serial)->id;
            if (info->description.muteBehavior != TapMuteBehavior::unmuted &&
                s.nodeBySerial(parking.serial) != nullptr) {
                aim.parking = parking.node;
                aim.parkingSerial = parking.serial;
            }
            aim.streams = streamsOf(s, info->description.processes);
            aims.push_back(std::move(aim));
        }
        for (const auto& [serial, parking] : followed) {
            if (parking.serial != 0) {
                parkingSerials.insert(std::to_string(parking.serial));
                parkingNodes.insert(std::to_string(parking.node));
            }
        }
        for (const auto& [serial, node] : s.nodes) {
            if (isTap(node)) {
                parkingSerials.insert(std::to_string(serial));
                parkingNodes.insert(std::to_string(node.id));
            }
        }
        for (const auto& [serial, node] : s.nodes) {
            if (node.mediaClass() == kStreamClass) {
                streams[node.id] = {serial, streamPid(s, node)};
            }
        }
        for (std::uint64_t serial : aggregates) {
            if (auto plan = aggregatePlan(s, serial)) {
                plans.push_back(std::move(*plan));
            }
        }
        metadata = s.metadata;
    }

    auto pidOfStream = [&](std::uint32_t stream) {
        auto it = streams.find(stream);
        return it == streams.end() ? 0 : it->second.second;
    };
    std::set<std::uint64_t> liveSerials;
    for (const auto& [stream, identity] : streams) {
        liveSerials.insert(identity.first);
    }

    // A user who moves a parked stream elsewhere by hand (a mixer, `pactl move-sink-input`) takes
    // its app out of the slot until the capture restarts: no stream of that pid is aimed or fed
    // any more, and the tap's description no longer lists it.
    std::set<std::uint64_t> releasedTaps;
    for (const Aim& aim : aims) {
        for (std::uint32_t stream : aim.streams) {
            auto identity = streams.find(stream);
            if (aim.parking == 0 || identity == streams.end() || identity->second.second == 0) {
                continue;
            }
            // Copied out: a lambda below cannot capture a structured binding under clang 14.
            const auto serial = identity->second.first;
            const auto pid = identity->second.second;
            const std::string object = prop(metadata[stream], kTargetObject);
            if (parkingSerials.contains(object)) {
                parked_.insert(serial);
            } else if (!object.empty() && parked_.contains(serial)) {
                for (const Aim& other : aims) {
                    if (std::any_of(other.streams.begin(), other.streams.end(),
                                    [&](std::uint32_t s) { return pidOfStream(s) == pid; })) {
                        released_[other.serial].insert(pid);
                        releasedTaps.insert(other.serial);
                    }
                }
            }
        }
    }
    std::erase_if(parked_, [&](std::uint64_t serial) { return !liveSerials.contains(serial); });
    for (std::uint64_t tap : releasedTaps) {
        graph_->setMetadata(PW_ID_CORE, releasedKey(ObjectID(tap)), "Spa:String:JSON",
                            Value(released_[tap]).dump());
    }
    for (Aim& aim : aims) {
        const auto& released = released_[aim.serial];
        std::erase_if(aim.streams,
                      [&](std::uint32_t stream) { return released.contains(pidOfStream(stream)); });
    }

    // Muted taps: each of their streams plays into its tap's parking sink, off the speakers; the
    // first tap that lists a stream has it.
    std::map<std::uint32_t, std::string> target;
    for (const Aim& aim : aims) {
        if (aim.parking != 0) {
            for (std::uint32_t stream : aim.streams) {
                target.emplace(stream, std::to_string(aim.parkingSerial));
            }
        }
    }
    // Streams of processes the watcher has not been told of yet wait in the first parking sink.
    const auto now = std::chrono::steady_clock::now();
    bool throttled = false;
    const Aim* holder = nullptr;
    for (const Aim& aim : aims) {
        if (aim.parking != 0 && !holder) {
            holder = &aim;
        }
    }
    std::erase_if(held_, [&](const auto& entry) { return !liveSerials.contains(entry.first); });
    for (const auto& [stream, identity] : streams) {
        const auto& [serial, pid] = identity;
        if (!holding || !holder || target.contains(stream) || (pid != 0 && seen.contains(pid))) {
            continue;
        }
        const auto since = held_.emplace(serial, now).first->second;
        if (now - since < kHoldLimit) {
            target.emplace(stream, std::to_string(holder->parkingSerial));
            throttled = true;  // looked at again when the limit is up
        }
    }
    for (const auto& [stream, serial] : target) {
        if (prop(metadata[stream], kTargetObject) != serial) {
            graph_->setMetadata(stream, kTargetObject, "Spa:Id", serial);
        }
    }
    // Streams aimed at a parking sink or a tap that should not be there: ours from before, or
    // ones the session manager's restore sent after another stream it saw parked.
    for (const auto& [subject, entries] : metadata) {
        auto wanted = target.find(subject);
        const std::string object = prop(entries, kTargetObject);
        if (parkingSerials.contains(object) &&
            (wanted == target.end() || wanted->second != object)) {
            graph_->setMetadata(subject, kTargetObject, "", std::nullopt);
        }
        if (parkingNodes.contains(prop(entries, kTargetNode)) && wanted == target.end()) {
            graph_->setMetadata(subject, kTargetNode, "", std::nullopt);
        }
    }

    // Every tap is fed by links of ours from its streams' output ports, port i into input
    // i mod n (a mono stream feeds both sides, a wider one folds). They die with this
    // connection, so a killed capture leaves no stream feeding a tap.
    // A stream is fed into a tap only once the session manager has linked it somewhere: linked
    // before that, it starts before the manager has configured its ports, and a GStreamer
    // pipewiresink so caught played nothing at all (measured).
    const auto owned = wiring_.ownedLinks();
    const std::set<std::pair<std::uint32_t, std::uint32_t>> held(owned.begin(), owned.end());
    std::set<std::uint32_t> settled;
    for (const Link& l : wiring_.links()) {
        if (!held.contains({l.outputPort, l.inputPort})) {
            settled.insert(l.outputNode);
        }
    }
    std::set<std::pair<std::uint32_t, std::uint32_t>> feeds;
    for (const Aim& aim : aims) {
        const auto inputs = wiring_.ports(aim.node, false, false);
        for (std::uint32_t stream : aim.streams) {
            if (!settled.contains(stream)) {
                continue;
            }
            const auto outputs = wiring_.ports(stream, true, false);
            if (inputs.empty() || outputs.empty()) {
                continue;
            }
            for (std::size_t i = 0; i < std::max(inputs.size(), outputs.size()); ++i) {
                feeds.emplace(outputs[i % outputs.size()].id, inputs[i % inputs.size()].id);
            }
        }
    }
    for (const auto& pair : held) {
        if (!feeds.contains(pair)) {
            wiring_.dropOwnedLink(pair.first, pair.second);
        }
    }
    for (const auto& pair : feeds) {
        if (held.contains(pair)) {
            continue;
        }
        // A link the daemon keeps refusing is not asked for in a tight loop.
        auto last = linkAttempts_.find(pair);
        if (last != linkAttempts_.end() && now - last->second < kLinkRetry) {
            throttled = true;
            continue;
        }
        wiring_.ownLink(pair.first, pair.second);
        linkAttempts_[pair] = now;
    }
    std::erase_if(linkAttempts_, [&](const auto& entry) {
        return now - entry.second >= kLinkRetry && !feeds.contains(entry.first);
    });

    throttled = relinkAggregates(plans, now) || throttled;
    if (throttled) {
        retryLater(kHoldLimit);
    }
}

void ServerObjects::watchProcesses(bool watched) {
    std::set<std::int32_t> pids;
    {
        std::lock_guard guard(graph_->mutex());
        pids = currentPids(graph_->state());
    }
    {
        std::lock_guard guard(mutex_);
        holding_ = watched;
        seen_.insert(pids.begin(), pids.end());
    }
    scheduleReconcile();
}

void ServerObjects::processesSeen(const std::set<std::int32_t>& pids) {
    {
        std::lock_guard guard(mutex_);
        seen_.insert(pids.begin(), pids.end());
    }
    scheduleReconcile();
}

Result<ServerObjects::Parking, Status> ServerObjects::makeParking(const std::string& tapNodeName,
                                                                  const std::string& displayName) {
    // Named per run, so that the session manager's remembered targets never lead a later
    // stream here, and owned by this connection, so that the streams it holds go back to their
    // usual outputs as soon as this program ends, however it ends.
    const Properties props = {
        {"factory.name", "support.null-audio-sink"},
        {PW_KEY_MEDIA_CLASS, "Audio/Sink"},
        {PW_KEY_NODE_NAME, tapNodeName + ".muted." + std::to_string(::getpid())},
        {PW_KEY_NODE_DESCRIPTION, displayName},
        {PW_KEY_NODE_VIRTUAL, "true"},
        {"audio.position", "[ FL FR ]"},
        // Below every real output, so that it is never chosen as the default.
        {PW_KEY_PRIORITY_SESSION, "-1000"},
        {"session.suspend-timeout-seconds", "0"},
        // Keeps the session manager from saving volumes under a name used once.
        {"device.routes", "1"},
        // A stream parked here at another rate than the running graph (mpv at 44.1 kHz, with
        // node.always-process) otherwise switched this idle sink's rate and never ran (measured).
        {"node.lock-rate", "true"},
        {kParkingKey, "true"},
    };
    auto made = wiring_.createNode(props, kParkingKey, NodeLife::ownedUnwatched);
    if (!made) {
        return fail(made.error());
    }
    return Parking{made->id, made->serial};
}

Status ServerObjects::follow(ObjectID tap, const TapInfo& info) {
    std::optional<Parking> parking;
    {
        std::lock_guard guard(mutex_);
        if (auto it = followed_.find(tap); it != followed_.end() && it->second.serial != 0) {
            parking = it->second;
        }
    }
    const bool muted = info.description.muteBehavior != TapMuteBehavior::unmuted;
    if (muted && !parking) {
        auto made = makeParking(info.uid, tapDisplayName(info.description));
        if (!made) {
            return made.error();
        }
        parking = *made;
    }
    std::set<std::int32_t> pids;
    {
        std::lock_guard guard(graph_->mutex());
        pids = currentPids(graph_->state());
    }
    {
        // The caller has just read the processes it aims the tap at: all of them are decided.
        std::lock_guard guard(mutex_);
        followed_[tap] = parking.value_or(Parking{});
        seen_.insert(pids.begin(), pids.end());
    }
    scheduleReconcile();
    return kAudioHardwareNoError;
}

Status ServerObjects::createProcessTap(const TapDescription& description, ObjectID& outTap) {
    outTap = kAudioObjectUnknown;
    const std::uint32_t channels = description.mono ? 1 : 2;
    Properties props = {
        {"factory.name", "support.null-audio-sink"},
        {PW_KEY_MEDIA_CLASS, kTapClass},
        {PW_KEY_NODE_DESCRIPTION, tapDisplayName(description)},
        {PW_KEY_NODE_NICK, tapDisplayName(description)},
        {PW_KEY_OBJECT_LINGER, "true"},
        {PW_KEY_NODE_VIRTUAL, "true"},
        {PW_KEY_AUDIO_CHANNELS, std::to_string(channels)},
        {"audio.position", description.mono ? "[ MONO ]" : "[ FL FR ]"},
        // WirePlumber 0.4 crashes when a node is destroyed soon after it suspends.
        {"session.suspend-timeout-seconds", "0"},
        {"device.routes", "1"},
        {"adapter.auto-port-config", "{ mode = dsp monitor = true position = preserve }"},
        {kTapDescriptionKey, tapDescriptionToJson(description).dump()},
    };
    {
        std::lock_guard guard(graph_->mutex());
        props[PW_KEY_NODE_NAME] = tapNodeName(graph_->state(), description.name);
    }
    auto made = wiring_.createNode(props, kTapDescriptionKey);
    if (!made) {
        return made.error();
    }
    const std::uint32_t node = made->id;
    // Its ports are what links and moves attach to; a tap without them would capture nothing.
    if (!wiring_.waitUntil([&] {
            return wiring_.ports(node, false, false).size() == channels &&
                   wiring_.ports(node, true, true).size() == channels;
        })) {
        (void)wiring_.destroyNode(node);
        return kAudioHardwareIllegalOperationError;
    }
    if (Status followed =
            follow(ObjectID(made->serial), TapInfo{props[PW_KEY_NODE_NAME], description, channels});
        followed != kAudioHardwareNoError) {
        (void)wiring_.destroyNode(node);
        return followed;
    }
    outTap = ObjectID(made->serial);
    return kAudioHardwareNoError;
}

Status ServerObjects::setTapDescription(ObjectID tap, const TapDescription& description) {
    std::string uid;
    {
        std::lock_guard guard(graph_->mutex());
        auto info = tapInfo(graph_->state(), tap);
        if (!info) {
            return kAudioHardwareBadObjectError;
        }
        uid = info->uid;
    }
    const std::string text = tapDescriptionToJson(description).dump();
    if (!graph_->setMetadata(PW_ID_CORE, changedDescriptionKey(tap), "Spa:String:JSON", text)) {
        return kAudioHardwareUnsupportedOperationError;  // no metadata to keep it in
    }
    const bool stored = wiring_.waitUntil([&] {
        std::lock_guard guard(graph_->mutex());
        auto info = tapInfo(graph_->state(), tap);
        return info && info->description == description;
    });
    if (!stored) {
        return kAudioHardwareIllegalOperationError;
    }
    return follow(tap, TapInfo{uid, description, description.mono ? 1u : 2u});
}

Status ServerObjects::destroyProcessTap(ObjectID tap) {
    std::uint32_t node = 0;
    std::vector<std::pair<std::uint32_t, const char*>> aimed;
    std::optional<Parking> parking;
    {
        std::lock_guard guard(mutex_);
        if (auto it = followed_.find(tap); it != followed_.end()) {
            if (it->second.serial != 0) {
                parking = it->second;
            }
            followed_.erase(it);
        }
    }
    {
        std::lock_guard guard(graph_->mutex());
        const GraphState& s = graph_->state();
        if (!s.connected) {
            return kAudioHardwareNotRunningError;
        }
        if (!tapInfo(s, tap)) {
            return kAudioHardwareBadObjectError;
        }
        node = s.nodeBySerial(tap)->id;
        std::set<std::string> serials = {std::to_string(tap)};
        std::set<std::string> ids = {std::to_string(node)};
        if (parking) {
            serials.insert(std::to_string(parking->serial));
            ids.insert(std::to_string(parking->node));
        }
        for (const auto& [subject, entries] : s.metadata) {
            if (serials.contains(prop(entries, kTargetObject))) {
                aimed.emplace_back(subject, kTargetObject);
            }
            if (ids.contains(prop(entries, kTargetNode))) {
                aimed.emplace_back(subject, kTargetNode);
            }
        }
    }
    // Clearing the targets first sends the streams back where the session manager had them.
    for (const auto& [subject, key] : aimed) {
        graph_->setMetadata(subject, key, "", std::nullopt);
    }
    graph_->setMetadata(PW_ID_CORE, changedDescriptionKey(tap), "", std::nullopt);
    graph_->setMetadata(PW_ID_CORE, releasedKey(tap), "", std::nullopt);
    if (parking) {
        wiring_.destroyOwnedNode(parking->node);
    }
    return wiring_.destroyNode(node);
}

}  // namespace pellimar::audio::pipewire
