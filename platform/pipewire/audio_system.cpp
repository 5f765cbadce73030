#include "platform/pipewire/audio_system.hpp"

#include "platform/pipewire/objects.hpp"

#include <pipewire/keys.h>
#include <pipewire/node.h>
#include <spa/param/audio/raw.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

namespace pellimar::audio::pipewire {

namespace {

enum class Direction { output, input };

bool isDeviceClass(const std::string& mediaClass) {
    return mediaClass == "Audio/Sink" || mediaClass == "Audio/Source" ||
           mediaClass == "Audio/Source/Virtual" || mediaClass == "Audio/Duplex";
}

bool hasDirection(const Node& node, Direction direction) {
    const std::string& c = node.mediaClass();
    if (c == "Audio/Duplex") {
        return true;
    }
    return direction == Direction::output ? c == "Audio/Sink"
                                          : (c == "Audio/Source" || c == "Audio/Source/Virtual");
}

std::string prop(const Properties& props, const char* key) {
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
}

// The format the node runs with, else the one it offers first.
const FormatInfo* currentFormat(const Node& node) {
    if (node.format && node.format->channels > 0) {
        return &*node.format;
    }
    return node.enumFormats.empty() ? nullptr : &node.enumFormats.front();
}

std::uint32_t channelCount(const Node& node) {
    if (const FormatInfo* f = currentFormat(node); f && f->channels > 0) {
        return f->channels;
    }
    try {
        return std::uint32_t(std::stoul(prop(node.props, PW_KEY_AUDIO_CHANNELS)));
    } catch (...) {
        return 0;
    }
}

constexpr double kGraphRate = 48000;

double nominalRate(const Node& node) {
    if (node.format && node.format->rate > 0) {
        return node.format->rate;
    }
    if (!node.enumFormats.empty() && node.enumFormats.front().rate > 0) {
        return node.enumFormats.front().rate;
    }
    return kGraphRate;
}

std::vector<AudioValueRange> availableRates(const Node& node) {
    std::vector<AudioValueRange> rates;
    if (node.enumFormats.empty()) {
        const double rate = nominalRate(node);
        return {{rate, rate}};
    }
    const FormatInfo& f = node.enumFormats.front();
    if (f.rateRange) {
        rates.push_back({f.rateRange->first, f.rateRange->second});
    } else if (!f.rateChoices.empty()) {
        for (double r : f.rateChoices) {
            rates.push_back({r, r});
        }
    } else if (f.rate > 0) {
        rates.push_back({f.rate, f.rate});
    }
    return rates;
}

std::uint32_t transportType(const Node& node) {
    if (node.props.contains(kCompositionKey)) {
        return kAudioDeviceTransportTypeAggregate;
    }
    const std::string bus = prop(node.props, PW_KEY_DEVICE_BUS);
    const std::string api = prop(node.props, PW_KEY_DEVICE_API);
    if (bus == "usb") {
        return kAudioDeviceTransportTypeUSB;
    }
    if (bus == "bluetooth" || api.rfind("bluez", 0) == 0) {
        return kAudioDeviceTransportTypeBluetooth;
    }
    if (bus == "pci" || bus == "built-in" || bus == "isa") {
        return kAudioDeviceTransportTypeBuiltIn;
    }
    return kAudioDeviceTransportTypeVirtual;
}

std::optional<AudioStreamBasicDescription> describe(std::uint32_t spaFormat, double rate,
                                                    std::uint32_t channels) {
    AudioStreamBasicDescription d;
    d.mSampleRate = rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    std::uint32_t bytes = 0;
    bool planar = false;
    switch (spaFormat) {
        case SPA_AUDIO_FORMAT_F32P:
            planar = true;
            [[fallthrough]];
        case SPA_AUDIO_FORMAT_F32:
            d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
            d.mBitsPerChannel = 32;
            bytes = 4;
            break;
        case SPA_AUDIO_FORMAT_F64P:
            planar = true;
            [[fallthrough]];
        case SPA_AUDIO_FORMAT_F64:
            d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
            d.mBitsPerChannel = 64;
            bytes = 8;
            break;
        case SPA_AUDIO_FORMAT_S16P:
            planar = true;
            [[fallthrough]];
        case SPA_AUDIO_FORMAT_S16:
            d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
            d.mBitsPerChannel = 16;
            bytes = 2;
            break;
        case SPA_AUDIO_FORMAT_S24P:
            planar = true;
            [[fallthrough]];
        case SPA_AUDIO_FORMAT_S24:
            d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
            d.mBitsPerChannel = 24;
            bytes = 3;
            break;
        case SPA_AUDIO_FORMAT_S24_32P:
            planar = true;
            [[fallthrough]];
        case SPA_AUDIO_FORMAT_S24_32:
            d.mFormatFlags = kAudioFormatFlagIsSignedInteger;  // 24 bits in 32, not packed
            d.mBitsPerChannel = 24;
            bytes = 4;
            break;
        case SPA_AUDIO_FORMAT_S32P:
            planar = true;
            [[fallthrough]];
        case SPA_AUDIO_FORMAT_S32:
            d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
            d.mBitsPerChannel = 32;
            bytes = 4;
            break;
        default:
            return std::nullopt;
    }
    if (planar) {
        d.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
        d.mBytesPerFrame = bytes;
    } else {
        d.mBytesPerFrame = bytes * channels;
    }
    d.mBytesPerPacket = d.mBytesPerFrame;
    return d;
}

// What the graph mixes in: interleaved 32-bit float.
AudioStreamBasicDescription virtualFormat(const Node& node) {
    return *describe(SPA_AUDIO_FORMAT_F32, nominalRate(node), channelCount(node));
}

AudioStreamBasicDescription physicalFormat(const Node& node) {
    const FormatInfo* f = currentFormat(node);
    if (f && !f->sampleFormats.empty()) {
        if (auto d = describe(f->sampleFormats.front(), nominalRate(node), channelCount(node))) {
            return *d;
        }
    }
    return virtualFormat(node);
}

std::vector<AudioStreamRangedDescription> availableFormats(const Node& node, bool physical) {
    std::vector<AudioStreamRangedDescription> out;
    const auto rates = availableRates(node);
    const AudioValueRange span =
        rates.empty() ? AudioValueRange{nominalRate(node), nominalRate(node)}
                      : AudioValueRange{rates.front().mMinimum, rates.back().mMaximum};
    std::vector<std::uint32_t> formats{SPA_AUDIO_FORMAT_F32};
    if (physical && !node.enumFormats.empty() && !node.enumFormats.front().sampleFormats.empty()) {
        formats = node.enumFormats.front().sampleFormats;
    }
    for (auto spaFormat : formats) {
        if (auto d = describe(spaFormat, nominalRate(node), channelCount(node))) {
            out.push_back({*d, span});
        }
    }
    return out;
}

// One audio process: the clients of one pid.
struct Process {
    ObjectID id = 0;
    std::int32_t pid = 0;
    std::string bundleID;
    bool running = false;
};

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

// One property's current value, as the platform hands it out.
struct Resolved {
    bool isText = false;
    std::optional<std::string> text;
    std::vector<std::uint8_t> bytes;
    std::uint32_t header = 0;   // bytes before the elements (the whole value for scalars)
    std::uint32_t element = 0;  // 0 for scalars
    std::uint32_t count = 0;
    bool bufferList = false;
    std::optional<Value> value;         // a composition
    std::optional<TapDescription> tap;  // a tap description
};

template <typename T>
void append(std::vector<std::uint8_t>& bytes, const T& value) {
    auto at = bytes.size();
    bytes.resize(at + sizeof(T));
    std::memcpy(bytes.data() + at, &value, sizeof(T));
}

template <typename T>
Status scalar(Resolved& out, const T& value) {
    append(out.bytes, value);
    out.header = sizeof(T);
    return kAudioHardwareNoError;
}

template <typename T>
Status list(Resolved& out, const std::vector<T>& values) {
    for (const auto& v : values) {
        append(out.bytes, v);
    }
    out.element = sizeof(T);
    out.count = std::uint32_t(values.size());
    return kAudioHardwareNoError;
}

Status text(Resolved& out, std::optional<std::string> value) {
    out.isText = true;
    out.text = std::move(value);
    return kAudioHardwareNoError;
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
            std::vector<AudioBuffer> buffers;
            if (hasDirection(node, d)) {
                AudioBuffer b;
                b.mNumberChannels = channelCount(node);
                buffers.push_back(b);
            }
            append(out.bytes, std::uint32_t(buffers.size()));
            append(out.bytes, std::uint32_t(0));  // alignment padding of the SDK layout
            out.header = 8;
            list(out, buffers);
            out.bufferList = true;
            return kAudioHardwareNoError;
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
                out.value = std::move(composition);
                return kAudioHardwareNoError;
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
                out.tap = capturedDescription(s, object, std::move(tap->description));
                return kAudioHardwareNoError;
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }
    if (s.clients.contains(object)) {
        for (const auto& p : processes(s)) {
            if (p.id != object) {
                continue;
            }
            switch (address.mSelector) {
                case kAudioProcessPropertyPID:
                    return scalar(out, p.pid);
                case kAudioProcessPropertyBundleID:
                    return text(out, p.bundleID);
                case kAudioProcessPropertyIsRunning:
                    return scalar(out, std::uint32_t(p.running ? 1 : 0));
                default:
                    return kAudioHardwareUnknownPropertyError;
            }
        }
    }
    return kAudioHardwareBadObjectError;
}

// Resolved values are copies, so the graph's lock is needed only while resolving.
Status resolveLocked(Graph& graph, ObjectID object, const AudioObjectPropertyAddress& address,
                     Resolved& out) {
    std::lock_guard guard(graph.mutex());
    return resolve(graph.state(), object, address, out);
}

std::string fingerprint(const GraphState& s, ObjectID object,
                        const AudioObjectPropertyAddress& address) {
    Resolved r;
    const Status status = resolve(s, object, address, r);
    std::string print = std::to_string(status) + ":";
    if (r.isText) {
        print += r.text ? "text:" + *r.text : "null";
    } else if (r.value || r.tap) {
        print += r.value ? r.value->dump() : tapDescriptionToJson(*r.tap).dump();
    } else {
        print.append(r.bytes.begin(), r.bytes.end());
    }
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

// Forgets a run loop's listeners when the loop goes away before the audio system.
class LoopLifetime final : public asio::execution_context::service {
  public:
    static asio::execution_context::id id;
    explicit LoopLifetime(asio::execution_context& context)
        : asio::execution_context::service(context) {}
    void add(std::function<void()> onShutdown) {
        std::lock_guard guard(mutex_);
        hooks_.push_back(std::move(onShutdown));
    }

  private:
    void shutdown() override {
        std::vector<std::function<void()>> hooks;
        {
            std::lock_guard guard(mutex_);
            hooks.swap(hooks_);
        }
        for (auto& hook : hooks) {
            hook();
        }
    }
    std::mutex mutex_;
    std::vector<std::function<void()>> hooks_;
};

asio::execution_context::id LoopLifetime::id;

}  // namespace

struct PipeWireAudioSystem::Listeners : std::enable_shared_from_this<Listeners> {
    struct Entry {
        ObjectID object = 0;
        AudioObjectPropertyAddress address;
        asio::io_context* loop = nullptr;
        std::shared_ptr<PropertyListener> callback;
        std::string fingerprint;
    };

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

namespace {

class PipeWireRegistration final : public ProcessRegistration {
  public:
    explicit PipeWireRegistration(ObjectID id) : id_(id) {}
    ObjectID objectID() const override { return id_; }
    // Running follows the process's playing streams in the graph itself.
    void setRunning(bool) override {}

  private:
    ObjectID id_;
};

}  // namespace

Result<std::unique_ptr<PipeWireAudioSystem>, std::string> PipeWireAudioSystem::open() {
    auto graph = Graph::connect();
    if (!graph) {
        return fail(graph.error());
    }
    return std::unique_ptr<PipeWireAudioSystem>(new PipeWireAudioSystem(std::move(*graph)));
}

PipeWireAudioSystem::PipeWireAudioSystem(std::shared_ptr<Graph> graph)
    : graph_(std::move(graph)),
      listeners_(std::make_shared<Listeners>()),
      objects_(std::make_unique<ServerObjects>(graph_)) {
    listeners_->graph = graph_;
    listeners_->processesSeen = [objects = objects_.get()](const std::set<std::int32_t>& pids) {
        objects->processesSeen(pids);
    };
    hook_ = graph_->addChangeHook([weak = std::weak_ptr<Listeners>(listeners_)] {
        if (auto listeners = weak.lock()) {
            listeners->changed();
        }
    });
}

PipeWireAudioSystem::~PipeWireAudioSystem() {
    graph_->removeChangeHook(hook_);
    std::lock_guard guard(listeners_->mutex);
    listeners_->entries.clear();
    listeners_->pending.clear();
    listeners_->processesSeen = nullptr;
}

bool PipeWireAudioSystem::hasProperty(ObjectID object, const AudioObjectPropertyAddress& address) {
    std::lock_guard guard(graph_->mutex());
    Resolved r;
    return resolve(graph_->state(), object, address, r) == kAudioHardwareNoError;
}

Status PipeWireAudioSystem::getPropertyDataSize(ObjectID object,
                                                const AudioObjectPropertyAddress& address,
                                                std::uint32_t, const void*,
                                                std::uint32_t& outSize) {
    outSize = 0;
    Resolved r;
    if (Status s = resolveLocked(*graph_, object, address, r)) {
        return s;
    }
    outSize = (r.isText || r.value || r.tap) ? 8 : std::uint32_t(r.bytes.size());
    return kAudioHardwareNoError;
}

Status PipeWireAudioSystem::getPropertyData(ObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            std::uint32_t, const void*, std::uint32_t& ioSize,
                                            void* outData) {
    const std::uint32_t capacity = ioSize;
    ioSize = 0;
    Resolved r;
    {
        std::lock_guard guard(graph_->mutex());
        if (Status s = resolve(graph_->state(), object, address, r)) {
            return s;
        }
    }
    if (r.isText || r.value || r.tap) {
        return kAudioHardwareIllegalOperationError;  // read through the typed calls
    }
    const std::uint32_t minimum = r.header + (r.count > 0 ? r.element : 0);
    if (capacity < minimum || (outData == nullptr && minimum > 0)) {
        return kAudioHardwareBadPropertySizeError;
    }
    const std::uint32_t fit =
        r.element == 0 ? 0 : std::min(r.count, (capacity - r.header) / r.element);
    const std::uint32_t size = r.header + fit * r.element;
    if (size > 0) {
        std::memcpy(outData, r.bytes.data(), size);
    }
    if (r.bufferList) {
        std::memcpy(outData, &fit, sizeof fit);  // mNumberBuffers: the buffers written
    }
    ioSize = size;
    return kAudioHardwareNoError;
}

Status PipeWireAudioSystem::setPropertyData(ObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            std::uint32_t, const void*, std::uint32_t size,
                                            const void* data) {
    Resolved r;
    if (Status s = resolveLocked(*graph_, object, address, r)) {
        return s;
    }
    // The daemon offers no change of these values; writing the current one back is no change.
    if (!r.isText && !r.value && !r.tap && r.element == 0 && data && size == r.bytes.size() &&
        std::memcmp(data, r.bytes.data(), size) == 0) {
        return kAudioHardwareNoError;
    }
    // The graph converts sample formats itself: a stream format that keeps the channel count and
    // rate the node runs with changes nothing.
    if ((address.mSelector == kAudioStreamPropertyPhysicalFormat ||
         address.mSelector == kAudioStreamPropertyVirtualFormat) &&
        data && size == sizeof(AudioStreamBasicDescription) && r.bytes.size() == size) {
        AudioStreamBasicDescription wanted, now;
        std::memcpy(&wanted, data, size);
        std::memcpy(&now, r.bytes.data(), size);
        if (wanted.mFormatID == now.mFormatID &&
            wanted.mChannelsPerFrame == now.mChannelsPerFrame &&
            wanted.mSampleRate == now.mSampleRate) {
            return kAudioHardwareNoError;
        }
    }
    return kAudioHardwareUnsupportedOperationError;
}

Status PipeWireAudioSystem::getStringProperty(ObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              std::optional<std::string>& out) {
    out.reset();
    Resolved r;
    if (Status s = resolveLocked(*graph_, object, address, r)) {
        return s;
    }
    if (!r.isText) {
        return kAudioHardwareBadPropertySizeError;
    }
    out = std::move(r.text);
    return kAudioHardwareNoError;
}

Status PipeWireAudioSystem::getValueProperty(ObjectID object,
                                             const AudioObjectPropertyAddress& address,
                                             std::optional<Value>& out) {
    out.reset();
    Resolved r;
    if (Status s = resolveLocked(*graph_, object, address, r)) {
        return s;
    }
    if (r.value) {
        out = std::move(r.value);
        return kAudioHardwareNoError;
    }
    return kAudioHardwareBadPropertySizeError;
}

Status PipeWireAudioSystem::getTapDescription(ObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              std::optional<TapDescription>& out) {
    out.reset();
    Resolved r;
    if (Status s = resolveLocked(*graph_, object, address, r)) {
        return s;
    }
    if (r.tap) {
        out = std::move(r.tap);
        return kAudioHardwareNoError;
    }
    return kAudioHardwareBadPropertySizeError;
}

Status PipeWireAudioSystem::setTapDescription(ObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              const TapDescription& description) {
    {
        std::lock_guard guard(graph_->mutex());
        Resolved r;
        if (Status s = resolve(graph_->state(), object, address, r)) {
            return s;
        }
        if (!r.tap) {
            return kAudioHardwareUnknownPropertyError;
        }
    }
    return objects_->setTapDescription(object, description);
}

Status PipeWireAudioSystem::translateDataSourceName(ObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    std::uint32_t,
                                                    std::optional<std::string>& out) {
    out.reset();
    Resolved r;
    if (Status s = resolveLocked(*graph_, object, address, r)) {
        return s;
    }
    return kAudioHardwareUnknownPropertyError;
}

Status PipeWireAudioSystem::createAggregateDevice(const Value& description, ObjectID& outDevice) {
    return objects_->createAggregateDevice(description, outDevice);
}

Status PipeWireAudioSystem::destroyAggregateDevice(ObjectID device) {
    return objects_->destroyAggregateDevice(device);
}

Status PipeWireAudioSystem::createProcessTap(const TapDescription& description, ObjectID& outTap) {
    return objects_->createProcessTap(description, outTap);
}

Status PipeWireAudioSystem::destroyProcessTap(ObjectID tap) {
    return objects_->destroyProcessTap(tap);
}

Status PipeWireAudioSystem::addPropertyListener(ObjectID object,
                                                const AudioObjectPropertyAddress& address,
                                                asio::io_context& loop, PropertyListener listener,
                                                ListenerID& outID) {
    outID = 0;
    if (!listener) {
        return kAudio_ParamError;
    }
    std::string print;
    {
        std::lock_guard guard(graph_->mutex());
        Resolved r;
        const Status s = resolve(graph_->state(), object, address, r);
        if (s == kAudioHardwareBadObjectError || s == kAudioHardwareNotRunningError) {
            return s;
        }
        print = fingerprint(graph_->state(), object, address);
    }
    bool firstOnLoop = false;
    bool watching = false;
    {
        std::lock_guard guard(listeners_->mutex);
        firstOnLoop = listeners_->pending.emplace(&loop, false).second;
        Listeners::Entry e;
        e.object = object;
        e.address = address;
        e.loop = &loop;
        e.callback = std::make_shared<PropertyListener>(std::move(listener));
        e.fingerprint = std::move(print);
        outID = listeners_->next++;
        watching = Listeners::watchesProcesses(e);
        listeners_->entries.emplace(outID, std::move(e));
    }
    if (watching) {
        objects_->watchProcesses(true);
    }
    if (firstOnLoop) {
        asio::use_service<LoopLifetime>(static_cast<asio::execution_context&>(loop))
            .add([weak = std::weak_ptr<Listeners>(listeners_), context = &loop] {
                if (auto listeners = weak.lock()) {
                    listeners->forget(context);
                }
            });
    }
    return kAudioHardwareNoError;
}

Status PipeWireAudioSystem::removePropertyListener(ListenerID id) {
    bool watched = false;
    {
        std::lock_guard guard(listeners_->mutex);
        if (listeners_->entries.erase(id) == 0) {
            return kAudio_ParamError;
        }
        for (const auto& [other, e] : listeners_->entries) {
            watched = watched || Listeners::watchesProcesses(e);
        }
    }
    if (!watched) {
        objects_->watchProcesses(false);
    }
    return kAudioHardwareNoError;
}

bool PipeWireAudioSystem::supportsProcessTaps() const {
    return true;
}

Result<std::unique_ptr<ProcessRegistration>, std::string> PipeWireAudioSystem::registerProcess(
    const std::string& bundleID) {
    // The process list reads clients, so the identifier goes on this connection's client.
    if (!bundleID.empty() && !graph_->updateClientProperties({{PW_KEY_APP_ID, bundleID}})) {
        return fail(std::string("PipeWire: the daemon did not take the application ID"));
    }
    std::lock_guard guard(graph_->mutex());
    const auto& s = graph_->state();
    if (!s.connected) {
        return fail(s.error.empty() ? std::string("PipeWire: not connected") : s.error);
    }
    const std::int32_t pid = std::int32_t(::getpid());
    for (const auto& p : processes(s)) {
        if (p.pid == pid) {
            return std::unique_ptr<ProcessRegistration>(new PipeWireRegistration(p.id));
        }
    }
    return std::unique_ptr<ProcessRegistration>(
        new PipeWireRegistration(ObjectID(s.ownClientSerial)));
}

}  // namespace pellimar::audio::pipewire
