// Process taps: lingering null-sink nodes of a class no session manager picks as a default. A
// "muted when tapped" tap gets its streams through the session manager's `target.object`
// metadata, so the manager itself moves them off the speakers and back again; we never delete
// its links, which it would not restore. An unmuted tap gets extra links of ours.

#include <pipewire/keys.h>
#include <pipewire/node.h>
#include <pipewire/pipewire.h>

#include <algorithm>
#include <cctype>

#include "platform/audio_system/pipewire/pw_objects.hpp"

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
    if (auto m = s.metadata.find(node->id); m != s.metadata.end()) {
        if (auto it = m->second.find(kTapDescriptionKey); it != m->second.end()) {
            text = it->second;
        }
    }
    try {
        info.description = tapDescriptionFromJson(Value::parse(text));
    } catch (const std::exception&) {
        info.description.name = prop(node->props, PW_KEY_NODE_DESCRIPTION);
    }
    info.channels = prop(node->props, PW_KEY_AUDIO_CHANNELS) == "1" ? 1 : 2;
    return info;
}

ServerObjects::ServerObjects(std::shared_ptr<Graph> graph)
    : graph_(std::move(graph)), wiring_(graph_) {
    pw_thread_loop_lock(graph_->loop());
    timer_ = pw_loop_add_timer(
        pw_thread_loop_get_loop(graph_->loop()),
        [](void* data, std::uint64_t) { static_cast<ServerObjects*>(data)->reconcile(); }, this);
    pw_thread_loop_unlock(graph_->loop());
    hook_ = graph_->addChangeHook([this] { scheduleReconcile(); });
    wiring_.setChangeHook([this] { scheduleReconcile(); });
}

ServerObjects::~ServerObjects() {
    graph_->removeChangeHook(hook_);
    wiring_.setChangeHook(nullptr);
    pw_thread_loop_lock(graph_->loop());  // no hook or timer is running past this point
    if (timer_) {
        pw_loop_destroy_source(pw_thread_loop_get_loop(graph_->loop()), timer_);
    }
    pw_thread_loop_unlock(graph_->loop());
}

void ServerObjects::scheduleReconcile() {
    {
        std::lock_guard guard(mutex_);
        if (followed_.empty() || !timer_) {
            return;
        }
    }
    // Coalesces a burst of graph changes into one pass.
    timespec delay{0, 5 * 1000 * 1000};
    pw_thread_loop_lock(graph_->loop());
    pw_loop_update_timer(pw_thread_loop_get_loop(graph_->loop()), timer_, &delay, nullptr, false);
    pw_thread_loop_unlock(graph_->loop());
}

void ServerObjects::reconcile() {
    std::set<std::uint64_t> followed;
    {
        std::lock_guard guard(mutex_);
        followed = followed_;
    }
    struct Aim {
        std::uint32_t node = 0;
        std::uint64_t serial = 0;
        bool muted = false;
        std::set<std::uint32_t> streams;
    };
    std::vector<Aim> aims;
    std::set<std::uint32_t> streamNodes;
    std::map<std::uint32_t, Properties> metadata;
    {
        std::lock_guard guard(graph_->mutex());
        const GraphState& s = graph_->state();
        if (!s.connected) {
            return;
        }
        for (std::uint64_t serial : followed) {
            auto info = tapInfo(s, ObjectID(serial));
            if (!info) {
                continue;
            }
            Aim aim;
            aim.node = s.nodeBySerial(serial)->id;
            aim.serial = serial;
            aim.muted = info->description.muteBehavior != TapMuteBehavior::unmuted;
            aim.streams = streamsOf(s, info->description.processes);
            aims.push_back(std::move(aim));
        }
        for (const auto& [serial, node] : s.nodes) {
            if (node.mediaClass() == kStreamClass) {
                streamNodes.insert(node.id);
            }
        }
        metadata = s.metadata;
    }

    // Muted taps: each stream goes into the first tap that lists it.
    std::map<std::uint32_t, std::string> target;
    std::set<std::string> ourSerials;
    std::set<std::string> ourNodes;
    for (const Aim& aim : aims) {
        ourSerials.insert(std::to_string(aim.serial));
        ourNodes.insert(std::to_string(aim.node));
        if (aim.muted) {
            for (std::uint32_t stream : aim.streams) {
                target.emplace(stream, std::to_string(aim.serial));
            }
        }
    }
    for (const auto& [stream, serial] : target) {
        if (prop(metadata[stream], kTargetObject) != serial) {
            graph_->setMetadata(stream, kTargetObject, "Spa:Id", serial);
        }
    }
    // Streams aimed at our taps that should not be there: ours from before, or ones the session
    // manager's restore sent after a stream it once saw in a tap.
    for (const auto& [subject, entries] : metadata) {
        auto wanted = target.find(subject);
        const std::string object = prop(entries, kTargetObject);
        if (ourSerials.contains(object) && (wanted == target.end() || wanted->second != object)) {
            graph_->setMetadata(subject, kTargetObject, "", std::nullopt);
        }
        if (ourNodes.contains(prop(entries, kTargetNode))) {
            graph_->setMetadata(subject, kTargetNode, "", std::nullopt);
        }
    }

    // Unmuted taps: our own links into the tap, next to the stream's usual ones.
    const auto links = wiring_.links();
    std::set<std::pair<std::uint32_t, std::uint32_t>> present;
    for (const Link& l : links) {
        present.emplace(l.outputPort, l.inputPort);
        pendingLinks_.erase({l.outputPort, l.inputPort});
    }
    const auto now = std::chrono::steady_clock::now();
    for (const Aim& aim : aims) {
        if (aim.muted) {
            continue;
        }
        const auto inputs = wiring_.ports(aim.node, false, false);
        for (std::uint32_t stream : aim.streams) {
            const auto outputs = wiring_.ports(stream, true, false);
            if (inputs.empty() || outputs.empty()) {
                continue;
            }
            for (std::size_t i = 0; i < std::max(inputs.size(), outputs.size()); ++i) {
                const auto pair =
                    std::make_pair(outputs[i % outputs.size()].id, inputs[i % inputs.size()].id);
                auto pending = pendingLinks_.find(pair);
                if (present.contains(pair) ||
                    (pending != pendingLinks_.end() && now - pending->second < kLinkRetry)) {
                    continue;
                }
                wiring_.link(pair.first, pair.second);
                pendingLinks_[pair] = now;
            }
        }
        for (const Link& l : links) {
            if (l.inputNode == aim.node && streamNodes.contains(l.outputNode) &&
                !aim.streams.contains(l.outputNode)) {
                wiring_.unlink(l.id);
            }
        }
    }
}

Status ServerObjects::createProcessTap(const TapDescription& description, ObjectID& outTap) {
    outTap = kAudioObjectUnknown;
    const std::uint32_t channels = description.mono ? 1 : 2;
    Properties props = {
        {"factory.name", "support.null-audio-sink"},
        {PW_KEY_MEDIA_CLASS, kTapClass},
        {PW_KEY_NODE_DESCRIPTION, description.name},
        {PW_KEY_OBJECT_LINGER, "true"},
        {PW_KEY_NODE_VIRTUAL, "true"},
        {PW_KEY_AUDIO_CHANNELS, std::to_string(channels)},
        {"audio.position", description.mono ? "[ MONO ]" : "[ FL FR ]"},
        // WirePlumber 0.4 crashes when a node is destroyed soon after it suspends.
        {"session.suspend-timeout-seconds", "0"},
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
    {
        std::lock_guard guard(mutex_);
        followed_.insert(made->serial);
    }
    scheduleReconcile();
    outTap = ObjectID(made->serial);
    return kAudioHardwareNoError;
}

Status ServerObjects::setTapDescription(ObjectID tap, const TapDescription& description) {
    std::uint32_t node = 0;
    {
        std::lock_guard guard(graph_->mutex());
        if (!tapInfo(graph_->state(), tap)) {
            return kAudioHardwareBadObjectError;
        }
        node = graph_->state().nodeBySerial(tap)->id;
    }
    const std::string text = tapDescriptionToJson(description).dump();
    if (!graph_->setMetadata(node, kTapDescriptionKey, "Spa:String:JSON", text)) {
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
    {
        std::lock_guard guard(mutex_);
        followed_.insert(tap);
    }
    scheduleReconcile();
    return kAudioHardwareNoError;
}

Status ServerObjects::destroyProcessTap(ObjectID tap) {
    std::uint32_t node = 0;
    std::vector<std::pair<std::uint32_t, const char*>> aimed;
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
        for (const auto& [subject, entries] : s.metadata) {
            if (prop(entries, kTargetObject) == std::to_string(tap)) {
                aimed.emplace_back(subject, kTargetObject);
            }
            if (prop(entries, kTargetNode) == std::to_string(node)) {
                aimed.emplace_back(subject, kTargetNode);
            }
        }
    }
    {
        std::lock_guard guard(mutex_);
        followed_.erase(tap);
    }
    // Clearing the targets first sends the streams back where the session manager had them.
    for (const auto& [subject, key] : aimed) {
        graph_->setMetadata(subject, key, "", std::nullopt);
    }
    return wiring_.destroyNode(node);
}

}  // namespace pellimar::audio::pipewire
