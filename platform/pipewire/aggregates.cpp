// Aggregate devices. A description with "taps" becomes a capture device: a lingering virtual
// source whose inputs are fed, in channel order, by its sub-devices' capture ports and then each
// tap's monitor ports. Any other becomes an output device: a lingering virtual sink whose monitor
// ports feed its members' playback ports side by side. Either keeps the description it was made
// from as a property, which is what reading its composition returns.

#include <pipewire/keys.h>
#include <pipewire/node.h>

#include "platform/json/json_checks.hpp"
#include "platform/pipewire/objects.hpp"

namespace pellimar::audio::pipewire {

namespace {

std::vector<std::string> uidsUnder(const Value& description, const char* key) {
    std::vector<std::string> uids;
    auto it = description.find(key);
    if (it == description.end() || !it->is_array()) {
        return uids;
    }
    for (const auto& entry : *it) {
        if (entry.is_object() && entry.contains("uid") && entry["uid"].is_string()) {
            uids.push_back(entry["uid"].get<std::string>());
        }
    }
    return uids;
}

bool truthy(const Value& description, const char* key) {
    auto it = description.find(key);
    return it != description.end() &&
           ((it->is_boolean() && it->get<bool>()) || (it->is_number() && it->get<double>() != 0));
}

std::string positions(std::size_t channels) {
    std::string text = "[";
    for (std::size_t i = 0; i < channels; ++i) {
        text += " AUX" + std::to_string(i);
    }
    return text + " ]";
}

// What feeds some of an aggregate's channels, in words.
struct ChannelGroup {
    std::string label;
    std::size_t channels = 0;
};

// "AUX3-4 slot 1, AUX5-6 announcements": the channel names mixers and patchbays show, with what
// each carries (ports and positions cannot be named otherwise).
std::string legend(const std::vector<ChannelGroup>& groups) {
    std::string text;
    std::size_t first = 0;
    for (const auto& group : groups) {
        if (group.channels == 0) {
            continue;
        }
        text += (text.empty() ? "AUX" : ", AUX") + std::to_string(first);
        if (group.channels > 1) {
            text += "-" + std::to_string(first + group.channels - 1);
        }
        text += " " + group.label;
        first += group.channels;
    }
    return text;
}

Value channelNames(const std::vector<ChannelGroup>& groups) {
    Value names = Value::array();
    for (const auto& group : groups) {
        for (std::size_t k = 0; k < group.channels; ++k) {
            names.push_back(group.channels == 1   ? group.label
                            : group.channels == 2 ? group.label + (k == 0 ? " left" : " right")
                                                  : group.label + " " + std::to_string(k + 1));
        }
    }
    return names;
}

std::string describedNode(const Node& node) {
    auto it = node.props.find(PW_KEY_NODE_DESCRIPTION);
    return it != node.props.end() && !it->second.empty() ? it->second : node.name();
}

}  // namespace

std::optional<std::string> aggregateName(const Node& node) {
    auto composition = aggregateComposition(node);
    if (!composition || !composition->is_object()) {
        return std::nullopt;
    }
    auto it = composition->find("name");
    if (it != composition->end() && it->is_string()) {
        return it->get<std::string>();
    }
    it = composition->find("uid");
    return it != composition->end() && it->is_string() ? it->get<std::string>() : node.name();
}

std::optional<Value> aggregateComposition(const Node& node) {
    auto it = node.props.find(kCompositionKey);
    if (it == node.props.end()) {
        return std::nullopt;
    }
    Value composition = Value::parse(it->second, nullptr, false);
    if (composition.is_discarded()) {
        return std::nullopt;
    }
    return composition;
}

Status ServerObjects::createAggregateDevice(const Value& description, ObjectID& outDevice) {
    outDevice = kAudioObjectUnknown;
    if (!description.is_object() ||
        !pellimar::json::nestedWithin(description, kMaxDescriptionNesting)) {
        return kAudio_ParamError;
    }
    auto uidField = description.find("uid");
    auto nameField = description.find("name");
    if ((uidField != description.end() && !uidField->is_string()) ||
        (nameField != description.end() && !nameField->is_string())) {
        return kAudio_ParamError;
    }
    const bool capture = description.contains("taps");
    if (!capture && truthy(description, "stacked")) {
        return kAudioHardwareUnsupportedOperationError;  // mirrored outputs: not offered here
    }

    // The ports that feed the new node, in its channel order, and who gave how many.
    std::vector<std::uint32_t> sources;
    Value layout = Value::array();
    std::vector<ChannelGroup> groups;
    std::string uid;
    std::string name;
    {
        std::lock_guard guard(graph_->mutex());
        const GraphState& s = graph_->state();
        if (!s.connected) {
            return kAudioHardwareNotRunningError;
        }
        uid = uidField != description.end()
                  ? uidField->get<std::string>()
                  : "org.pellimar.aggregate." +
                        std::to_string(s.nodes.empty() ? 1 : s.nodes.rbegin()->first + 1);
        name = nameField != description.end() ? nameField->get<std::string>() : uid;
        if (s.nodeByName(uid) != nullptr) {
            return kAudioHardwareIllegalOperationError;  // UIDs are unique on the system
        }
        for (const auto& sub : uidsUnder(description, "subdevices")) {
            const Node* node = s.nodeByName(sub);
            if (!node) {
                continue;  // an absent sub-device adds no channels, as on the platform
            }
            // A capture device takes its sub-devices' capture ports, an output device the
            // members' playback ports.
            const auto ports = wiring_.ports(node->id, capture, false);
            for (const Port& p : ports) {
                sources.push_back(p.id);
            }
            layout.push_back(Value::array({sub, false, ports.size()}));
            groups.push_back(
                {capture ? "live (" + describedNode(*node) + ")" : describedNode(*node),
                 ports.size()});
        }
        if (capture) {
            for (const auto& tapUID : uidsUnder(description, "taps")) {
                const Node* node = s.nodeByName(tapUID);
                if (!node || node->mediaClass() != kTapClass) {
                    continue;
                }
                const auto ports = wiring_.ports(node->id, true, true);
                for (const Port& p : ports) {
                    sources.push_back(p.id);
                }
                layout.push_back(Value::array({tapUID, true, ports.size()}));
                std::string label = tapUID;
                if (auto tap = tapInfo(s, ObjectID(node->serial))) {
                    label = tap->description.label.empty() ? tap->description.name
                                                           : tap->description.label;
                    label = label.substr(0, label.find(" ("));  // the slot, not its pattern
                }
                groups.push_back({label, ports.size()});
            }
        }
    }
    if (sources.empty()) {
        return kAudioHardwareIllegalOperationError;  // a device without channels
    }
    const std::size_t channels = sources.size();
    Properties props = {
        {"factory.name", "support.null-audio-sink"},
        {PW_KEY_NODE_NAME, uid},
        {PW_KEY_NODE_DESCRIPTION, name + ": " + legend(groups)},
        {PW_KEY_NODE_NICK, name},
        {kChannelsKey, channelNames(groups).dump()},
        {PW_KEY_MEDIA_CLASS, capture ? "Audio/Source/Virtual" : "Audio/Sink"},
        {PW_KEY_OBJECT_LINGER, "true"},
        {PW_KEY_NODE_VIRTUAL, "true"},
        {PW_KEY_AUDIO_CHANNELS, std::to_string(channels)},
        {"audio.position", positions(channels)},
        // Below every real device, so that it never becomes a default, whatever priorities the
        // others have (measured: at 0 it was chosen over null sinks that had none).
        {PW_KEY_PRIORITY_SESSION, "-1000"},
        {"device.routes", "1"},
        {"session.suspend-timeout-seconds", "0"},
        {"adapter.auto-port-config", capture ? "{ mode = dsp monitor = false position = preserve }"
                                             : "{ mode = dsp monitor = true position = preserve }"},
        {kCompositionKey, description.dump()},
        {kLayoutKey, layout.dump()},
    };
    auto made = wiring_.createNode(props, kCompositionKey);
    if (!made) {
        return made.error();
    }
    const std::uint32_t node = made->id;
    // Inputs of a source are fed; the monitor outputs of a sink feed.
    auto ends = [&] {
        return capture ? wiring_.ports(node, false, false) : wiring_.ports(node, true, true);
    };
    if (!wiring_.waitUntil([&] { return ends().size() == channels; })) {
        (void)wiring_.destroyNode(node);
        return kAudioHardwareIllegalOperationError;
    }
    const auto own = ends();
    std::set<std::pair<std::uint32_t, std::uint32_t>> wanted;
    for (std::size_t i = 0; i < channels; ++i) {
        const auto pair =
            capture ? std::make_pair(sources[i], own[i].id) : std::make_pair(own[i].id, sources[i]);
        wanted.insert(pair);
        wiring_.link(pair.first, pair.second);
    }
    const bool linked = wiring_.waitUntil([&] {
        std::size_t found = 0;
        for (const Link& l : wiring_.links()) {
            found += wanted.contains({l.outputPort, l.inputPort}) ? 1 : 0;
        }
        return found == wanted.size();
    });
    if (!linked) {
        (void)wiring_.destroyNode(node);
        return kAudioHardwareIllegalOperationError;
    }
    outDevice = ObjectID(made->serial);
    if (capture) {
        // While this program runs, a source that goes and comes back is linked again.
        std::lock_guard guard(mutex_);
        followedAggregates_.insert(made->serial);
    }
    return kAudioHardwareNoError;
}

std::optional<ServerObjects::AggregatePlan> ServerObjects::aggregatePlan(
    const GraphState& s, std::uint64_t serial) const {
    const Node* node = s.nodeBySerial(serial);
    if (!node) {
        return std::nullopt;
    }
    auto it = node->props.find(kLayoutKey);
    if (it == node->props.end()) {
        return std::nullopt;
    }
    const Value layout = Value::parse(it->second, nullptr, false);
    if (!layout.is_array()) {
        return std::nullopt;
    }
    const auto own = wiring_.ports(node->id, false, false);
    AggregatePlan plan;
    std::size_t offset = 0;
    for (const auto& entry : layout) {
        if (!entry.is_array() || entry.size() != 3 || !entry[0].is_string() ||
            !entry[1].is_boolean() || !entry[2].is_number_unsigned()) {
            return std::nullopt;
        }
        const std::size_t channels = entry[2].get<std::size_t>();
        if (const Node* source = s.nodeByName(entry[0].get<std::string>())) {
            const bool tap = entry[1].get<bool>();
            const auto ports = wiring_.ports(source->id, true, tap);
            for (std::size_t k = 0; k < std::min(channels, ports.size()); ++k) {
                if (offset + k < own.size()) {
                    plan.links.emplace_back(ports[k].id, own[offset + k].id);
                }
            }
        }
        offset += channels;
    }
    return plan;
}

bool ServerObjects::relinkAggregates(const std::vector<AggregatePlan>& plans,
                                     std::chrono::steady_clock::time_point now) {
    if (plans.empty()) {
        return false;
    }
    std::set<std::pair<std::uint32_t, std::uint32_t>> present;
    for (const Link& l : wiring_.links()) {
        present.emplace(l.outputPort, l.inputPort);
    }
    bool throttled = false;
    for (const auto& plan : plans) {
        for (const auto& pair : plan.links) {
            if (present.contains(pair)) {
                continue;
            }
            auto last = linkAttempts_.find(pair);
            if (last != linkAttempts_.end() && now - last->second < std::chrono::seconds(2)) {
                throttled = true;
                continue;
            }
            wiring_.link(pair.first, pair.second);
            linkAttempts_[pair] = now;
        }
    }
    return throttled;
}

Status ServerObjects::destroyAggregateDevice(ObjectID device) {
    std::uint32_t node = 0;
    {
        std::lock_guard guard(graph_->mutex());
        const GraphState& s = graph_->state();
        if (!s.connected) {
            return kAudioHardwareNotRunningError;
        }
        const Node* n = s.nodeBySerial(device);
        if (!n || !n->props.contains(kCompositionKey)) {
            return kAudioHardwareBadObjectError;
        }
        node = n->id;
    }
    {
        std::lock_guard guard(mutex_);
        followedAggregates_.erase(device);
    }
    return wiring_.destroyNode(node);  // its links go with it
}

}  // namespace pellimar::audio::pipewire
