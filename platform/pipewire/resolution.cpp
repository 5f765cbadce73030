#include "platform/pipewire/resolution.hpp"

#include <pipewire/keys.h>
#include <pipewire/node.h>
#include <spa/param/audio/raw.h>

#include <algorithm>
#include <map>
#include <set>

#include "platform/pipewire/audio_system.hpp"
#include "platform/pipewire/devices.hpp"
#include "platform/pipewire/identity.hpp"
#include "platform/pipewire/objects.hpp"

namespace pellimar::audio::pipewire {

std::vector<Process> processes(const GraphState& s) {
    std::map<std::int32_t, std::vector<const Client*>> byPid;
    std::vector<std::int32_t> order;
    for (const auto& [serial, client] : s.clients) {
        std::string pidText = prop(client.props, PW_KEY_APP_PROCESS_ID);
        if (pidText.empty()) {
            pidText = prop(client.props, PW_KEY_SEC_PID);
        }
        std::int32_t pid = 0;
        try {
            pid = std::stoi(pidText);
        } catch (...) {
            continue;
        }
        if (!byPid.contains(pid)) {
            order.push_back(pid);
        }
        byPid[pid].push_back(&client);
    }
    std::vector<Process> out;
    for (std::int32_t pid : order) {
        const auto& clients = byPid[pid];
        // Listed once one of its clients is named, so that a process appears with its bundle ID
        // and the list's change tells watchers in time to route its first stream. Its ID stays
        // its first client's, named or not, so that it never changes while it is listed.
        if (std::none_of(clients.begin(), clients.end(),
                         [](const Client* c) { return c->described; })) {
            continue;
        }
        Process p;
        p.id = ObjectID(clients.front()->serial);
        p.pid = pid;
        GraphFacts facts;
        auto first = [](std::string& into, const Properties& props, const char* key) {
            if (into.empty()) {
                into = prop(props, key);
            }
        };
        std::set<std::string> ids;
        for (const Client* c : clients) {
            first(facts.portalAppID, c->props, "pipewire.access.portal.app_id");
            first(facts.applicationID, c->props, PW_KEY_APP_ID);
            first(facts.binary, c->props, PW_KEY_APP_PROCESS_BINARY);
            ids.insert(std::to_string(c->id));
        }
        for (const auto& [serial, node] : s.nodes) {
            if (!ids.contains(prop(node.props, PW_KEY_CLIENT_ID))) {
                continue;
            }
            first(facts.applicationID, node.props, PW_KEY_APP_ID);
            if (node.mediaClass() == "Stream/Output/Audio" && node.state == PW_NODE_STATE_RUNNING) {
                p.running = true;
            }
        }
        p.bundleID = chooseBundleID(facts, s.identities.facts(pid));
        out.push_back(std::move(p));
    }
    s.identities.keepOnly(order);
    return out;
}

namespace {

ObjectID defaultDevice(const GraphState& s, const char* key) {
    auto it = s.defaults.find(key);
    if (it == s.defaults.end()) {
        return kAudioObjectUnknown;
    }
    auto parsed = Value::parse(it->second, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("name") || !parsed["name"].is_string()) {
        return kAudioObjectUnknown;
    }
    const Node* node = s.nodeByName(parsed["name"].get<std::string>());
    return node && isDeviceClass(node->mediaClass()) ? ObjectID(node->serial) : kAudioObjectUnknown;
}

const Node* deviceNode(const GraphState& s, ObjectID id) {
    const Node* node = s.nodeBySerial(id);
    return node && isDeviceClass(node->mediaClass()) ? node : nullptr;
}

Status resolveSystem(const GraphState& s, Selector sel, Resolved& out) {
    switch (sel) {
        case kAudioHardwarePropertyDevices: {
            std::vector<ObjectID> ids;
            for (const auto& [serial, node] : s.nodes) {
                if (isDeviceClass(node.mediaClass())) {
                    ids.push_back(ObjectID(serial));
                }
            }
            return list(out, ids);
        }
        case kAudioHardwarePropertyProcessObjectList: {
            std::vector<ObjectID> ids;
            for (const auto& p : processes(s)) {
                ids.push_back(p.id);
            }
            return list(out, ids);
        }
        case kAudioHardwarePropertyTapList:
            return list(out, tapIDs(s));
        case kAudioHardwarePropertyDefaultInputDevice:
            return scalar(out, defaultDevice(s, "default.audio.source"));
        case kAudioHardwarePropertyDefaultOutputDevice:
        case kAudioHardwarePropertyDefaultSystemOutputDevice:
            return scalar(out, defaultDevice(s, "default.audio.sink"));
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

Status resolveDevice(const Node& node, const AudioObjectPropertyAddress& address, Resolved& out) {
    const Scope scope = address.mScope;
    switch (address.mSelector) {
        case kAudioObjectPropertyName: {
            if (auto asked = aggregateName(node)) {
                return text(out, *asked);
            }
            std::string name = prop(node.props, PW_KEY_NODE_DESCRIPTION);
            if (name.empty()) {
                name = prop(node.props, PW_KEY_NODE_NICK);
            }
            return text(out, name.empty() ? node.name() : name);
        }
        case kAudioDevicePropertyDeviceUID:
            return text(out, node.name());
        case kAudioDevicePropertyTransportType:
            return scalar(out, transportType(node));
        case kAudioDevicePropertyNominalSampleRate:
            return scalar(out, nominalRate(node));
        case kAudioDevicePropertyAvailableNominalSampleRates:
            return list(out, availableRates(node));
        case kAudioDevicePropertyStreamConfiguration: {
            if (scope != kAudioObjectPropertyScopeInput &&
                scope != kAudioObjectPropertyScopeOutput) {
                return kAudioHardwareUnknownPropertyError;
            }
            const Direction d =
                scope == kAudioObjectPropertyScopeInput ? Direction::input : Direction::output;
            std::vector<std::uint32_t> channels;
            if (hasDirection(node, d)) {
                channels.push_back(channelCount(node));
            }
            return bufferList(out, channels);
        }
        case kAudioDevicePropertyStreams: {
            std::vector<ObjectID> ids;
            const ObjectID serial = ObjectID(node.serial);
            if (scope != kAudioObjectPropertyScopeInput && hasDirection(node, Direction::output)) {
                ids.push_back(serial | kOutputStreamFlag);
            }
            if (scope != kAudioObjectPropertyScopeOutput && hasDirection(node, Direction::input)) {
                ids.push_back(serial | kInputStreamFlag);
            }
            return list(out, ids);
        }
        case kAudioAggregateDevicePropertyComposition:
            if (auto composition = aggregateComposition(node)) {
                return value(out, std::move(*composition));
            }
            return kAudioHardwareUnknownPropertyError;
        default:
            // Data sources (card routes) are not offered by these nodes.
            return kAudioHardwareUnknownPropertyError;
    }
}

Status resolveStream(const Node& node, Direction direction, Selector sel, Resolved& out) {
    switch (sel) {
        case kAudioStreamPropertyVirtualFormat:
            return scalar(out, virtualFormat(node));
        case kAudioStreamPropertyPhysicalFormat:
            return scalar(out, physicalFormat(node));
        case kAudioStreamPropertyAvailablePhysicalFormats:
            return list(out, availableFormats(node, true));
        case kAudioStreamPropertyAvailableVirtualFormats:
            return list(out, availableFormats(node, false));
        case kAudioStreamPropertyDirection:
            return scalar(out, std::uint32_t(direction == Direction::input ? 1 : 0));
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

}  // namespace

Status resolve(const GraphState& s, ObjectID object, const AudioObjectPropertyAddress& address,
               Resolved& out) {
    if (!s.connected) {
        return kAudioHardwareNotRunningError;
    }
    if (object == kAudioObjectSystemObject) {
        return resolveSystem(s, address.mSelector, out);
    }
    if (object & (kOutputStreamFlag | kInputStreamFlag)) {
        const Direction d = (object & kOutputStreamFlag) ? Direction::output : Direction::input;
        const Node* node = deviceNode(s, object & ~(kOutputStreamFlag | kInputStreamFlag));
        if (!node || !hasDirection(*node, d)) {
            return kAudioHardwareBadObjectError;
        }
        return resolveStream(*node, d, address.mSelector, out);
    }
    if (const Node* node = deviceNode(s, object)) {
        return resolveDevice(*node, address, out);
    }
    if (auto tap = tapInfo(s, object)) {
        switch (address.mSelector) {
            case kAudioObjectPropertyName:
                return text(out, tap->description.name);
            case kAudioTapPropertyUID:
                return text(out, tap->uid);
            case kAudioTapPropertyFormat:
                return scalar(out, *describe(SPA_AUDIO_FORMAT_F32, kGraphRate, tap->channels));
            case kAudioTapPropertyDescription:
                return tapDescription(out,
                                      capturedDescription(s, object, std::move(tap->description)));
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }
    if (s.clients.contains(object)) {
        for (const auto& p : processes(s)) {
            if (p.id != object) {
                continue;
            }
            return processProperty(address.mSelector, p.pid, p.bundleID, p.running, out);
        }
    }
    return kAudioHardwareBadObjectError;
}

Status resolveLocked(Graph& graph, ObjectID object, const AudioObjectPropertyAddress& address,
                     Resolved& out) {
    std::lock_guard guard(graph.mutex());
    return resolve(graph.state(), object, address, out);
}

std::string fingerprint(const GraphState& s, ObjectID object,
                        const AudioObjectPropertyAddress& address) {
    Resolved r;
    const Status status = resolve(s, object, address, r);
    std::string print = audio::fingerprint(status, r);
    // A process's name can come after the process (from a stream's properties, say): watchers
    // of the list hear of that too, so that a capture re-matches it at once.
    if (object == kAudioObjectSystemObject &&
        address.mSelector == kAudioHardwarePropertyProcessObjectList) {
        for (const auto& p : processes(s)) {
            print += "\n" + p.bundleID;
        }
    }
    return print;
}

}  // namespace pellimar::audio::pipewire
