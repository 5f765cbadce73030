#include "platform/sim/audio_system.hpp"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include "platform/audio_system/loop_lifetime.hpp"
#include "platform/audio_system/property_value.hpp"
#include "platform/json/json_checks.hpp"
#include "platform/sim/world_store.hpp"

namespace pellimar::audio::sim {

namespace {

enum class Kind { system, device, stream, process, tap };

struct Ref {
    Kind kind = Kind::system;
    std::size_t index = 0;  // device, process or tap index
    std::size_t sub = 0;    // stream index within the device
};

AudioObjectPropertyAddress globalAddress(Selector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

bool inputOrOutput(Scope scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

bool inScope(const Stream& s, Scope scope) {
    if (scope == kAudioObjectPropertyScopeInput) {
        return s.scope == StreamScope::input;
    }
    if (scope == kAudioObjectPropertyScopeOutput) {
        return s.scope == StreamScope::output;
    }
    return true;
}

bool rateSupported(const std::vector<AudioValueRange>& ranges, double rate) {
    return std::any_of(ranges.begin(), ranges.end(), [&](const AudioValueRange& r) {
        return r.mMinimum <= rate && rate <= r.mMaximum;
    });
}

// Like the platform: a physical format must be one of the available physical formats, a virtual
// one one of the available virtual formats, field for field.
bool formatSupported(const Stream& s, Selector selector, const AudioStreamBasicDescription& f) {
    if (f.mChannelsPerFrame == 0 || !(f.mSampleRate > 0) || !std::isfinite(f.mSampleRate)) {
        return false;
    }
    const auto& offered =
        selector == kAudioStreamPropertyPhysicalFormat ? s.availablePhysical : s.virtualFormats();
    return offered.empty() || formatOffered(offered, f);
}

void withChannelsAndRate(AudioStreamBasicDescription& f, std::uint32_t channels, double rate) {
    bool interleaved = (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    f.mChannelsPerFrame = channels;
    f.mSampleRate = rate;
    if (interleaved && f.mBitsPerChannel % 8 == 0 && f.mBitsPerChannel > 0) {
        f.mBytesPerFrame = f.mBitsPerChannel / 8 * channels;
        f.mBytesPerPacket = f.mBytesPerFrame * std::max<std::uint32_t>(f.mFramesPerPacket, 1);
    }
}

void setDeviceRate(Device& d, double rate) {
    d.nominalRate = rate;
    for (auto& s : d.streams) {
        withChannelsAndRate(s.physical, s.physical.mChannelsPerFrame, rate);
        withChannelsAndRate(s.virtualFormat, s.virtualFormat.mChannelsPerFrame, rate);
    }
}

// A format write changes the written format and carries its channel count and rate to the
// stream's other format and its rate to the device, as hardware does.
void applyFormat(Device& d, Stream& s, Selector selector, const AudioStreamBasicDescription& f) {
    setDeviceRate(d, f.mSampleRate);
    if (selector == kAudioStreamPropertyPhysicalFormat) {
        s.physical = f;
        withChannelsAndRate(s.virtualFormat, f.mChannelsPerFrame, f.mSampleRate);
    } else {
        s.virtualFormat = f;
        withChannelsAndRate(s.physical, f.mChannelsPerFrame, f.mSampleRate);
    }
}

// Consumes the first delay rule that applies; returns it.
std::optional<Delay> takeDelay(World& w, DelayEffect effect, ObjectID object,
                               const std::string& uid) {
    for (auto it = w.delays.begin(); it != w.delays.end(); ++it) {
        if (it->effect != effect || (it->object != 0 && it->object != object) ||
            (!it->uid.empty() && it->uid != uid) || it->count == 0) {
            continue;
        }
        Delay taken = *it;
        if (it->count > 0 && --it->count == 0) {
            w.delays.erase(it);
        }
        return taken;
    }
    return std::nullopt;
}

ObjectID fallbackDefault(const World& w, StreamScope scope) {
    for (const auto& d : w.devices) {
        if (!d.isAggregate() && d.channels(scope) > 0) {
            return d.id;
        }
    }
    return 0;
}

class InotifyBuffer {
  public:
    // Reads every pending event; true when one concerns the named file.
    bool drain(int fd, const std::string& name) {
        bool relevant = false;
        for (;;) {
            ssize_t n = ::read(fd, buffer_.data(), buffer_.size());
            if (n <= 0) {
                return relevant;
            }
            for (ssize_t at = 0; at < n;) {
                inotify_event event;
                std::memcpy(&event, buffer_.data() + at, sizeof event);
                if (event.len > 0) {
                    const char* eventName = buffer_.data() + at + sizeof(inotify_event);
                    if (name == eventName) {
                        relevant = true;
                    }
                }
                at += ssize_t(sizeof(inotify_event) + event.len);
            }
        }
    }

  private:
    alignas(inotify_event) std::array<char, 8192> buffer_{};
};

}  // namespace

struct Watcher;

struct Listener {
    ObjectID object = 0;
    AudioObjectPropertyAddress address;
    asio::io_context* loop = nullptr;
    std::shared_ptr<PropertyListener> callback;
    std::string fingerprint;
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

struct Watcher : std::enable_shared_from_this<Watcher> {
    Watcher(asio::io_context& context, int fd, std::weak_ptr<SimAudioSystem::Core> owner,
            std::string fileName)
        : loop(&context),
          descriptor(context, fd),
          core(std::move(owner)),
          name(std::move(fileName)) {}

    void arm() {
        if (!descriptor.is_open()) {
            return;
        }
        descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                              [self = shared_from_this()](const asio::error_code& error) {
                                  if (error || !self->descriptor.is_open()) {
                                      return;
                                  }
                                  bool relevant = self->events.drain(
                                      self->descriptor.native_handle(), self->name);
                                  if (relevant) {
                                      if (auto owner = self->core.lock()) {
                                          owner->deliver(self->loop);
                                      }
                                  }
                                  self->arm();
                              });
    }

    asio::io_context* loop;
    asio::posix::stream_descriptor descriptor;
    std::weak_ptr<SimAudioSystem::Core> core;
    std::string name;
    InotifyBuffer events;
};

Result<const World*, Status> SimAudioSystem::Core::world() {
    if (callWorld != nullptr) {
        return callWorld;
    }
    auto w = store->current();
    if (!w) {
        return fail(kAudioHardwareUnspecifiedError);
    }
    if (indexedGeneration != store->generation()) {
        index.clear();
        const World& world = **w;
        for (std::size_t i = 0; i < world.devices.size(); ++i) {
            index[world.devices[i].id] = {Kind::device, i, 0};
            for (std::size_t s = 0; s < world.devices[i].streams.size(); ++s) {
                index[world.devices[i].streams[s].id] = {Kind::stream, i, s};
            }
        }
        for (std::size_t i = 0; i < world.processes.size(); ++i) {
            index[world.processes[i].id] = {Kind::process, i, 0};
        }
        for (std::size_t i = 0; i < world.taps.size(); ++i) {
            index[world.taps[i].id] = {Kind::tap, i, 0};
        }
        index[kAudioObjectSystemObject] = {Kind::system, 0, 0};
        indexedGeneration = store->generation();
    }
    callWorld = *w;
    return *w;
}

const Ref* SimAudioSystem::Core::find(const World& w, ObjectID id) {
    auto it = index.find(id);
    if (it == index.end()) {
        return nullptr;
    }
    if (it->second.kind == Kind::process) {
        const Process& p = w.processes[it->second.index];
        if (p.kind == ProcessKind::live && !store->liveness().alive(p.pid, p.startTime)) {
            return nullptr;
        }
    }
    return &it->second;
}

Status SimAudioSystem::Core::mutate(const std::function<Status(World&)>& change) {
    Status status = kAudioHardwareNoError;
    callWorld = nullptr;
    auto r = store->mutate([&](World& w) {
        status = change(w);
        return status == kAudioHardwareNoError;
    });
    if (!r) {
        return kAudioHardwareUnspecifiedError;
    }
    return status;
}

Status SimAudioSystem::Core::fault(FaultOperation operation, ObjectID object,
                                   const AudioObjectPropertyAddress& address) {
    const Selector selector = address.mSelector;
    // A counted fault fires once per count across all processes, so it is claimed under the lock.
    for (int attempt = 0; attempt < 8; ++attempt) {
        auto w = world();
        if (!w) {
            return w.error();
        }
        const Fault* match = nullptr;
        for (const auto& f : (*w)->faults) {
            if (f.operation == operation && (f.object == 0 || f.object == object) &&
                (f.selector == 0 || f.selector == selector) &&
                (f.scope == 0 || f.scope == address.mScope) &&
                (!f.element || *f.element == address.mElement) && f.count != 0) {
                match = &f;
                break;
            }
        }
        if (match == nullptr) {
            return kAudioHardwareNoError;
        }
        if (match->count < 0 && match->skip == 0) {
            return match->status;
        }
        ObjectID id = match->id;
        Status status = match->status;
        bool fired = false;
        bool passed = false;
        callWorld = nullptr;
        auto r = store->mutate([&](World& next) {
            for (auto it = next.faults.begin(); it != next.faults.end(); ++it) {
                if (it->id != id || it->count == 0) {
                    continue;
                }
                if (it->skip > 0) {
                    --it->skip;
                    passed = true;
                } else {
                    fired = true;
                    if (it->count > 0 && --it->count == 0) {
                        next.faults.erase(it);
                    }
                }
                return true;
            }
            return false;
        });
        if (!r) {
            return kAudioHardwareUnspecifiedError;
        }
        if (passed) {
            return kAudioHardwareNoError;
        }
        if (fired) {
            return status;
        }
    }
    return kAudioHardwareNoError;
}

Status SimAudioSystem::Core::resolve(const World& w, ObjectID object,
                                     const AudioObjectPropertyAddress& address, Resolved& out) {
    const Ref* ref = find(w, object);
    if (ref == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    const Selector sel = address.mSelector;
    const Scope scope = address.mScope;
    switch (ref->kind) {
        case Kind::system: {
            std::vector<ObjectID> ids;
            switch (sel) {
                case kAudioHardwarePropertyDevices:
                    for (const auto& d : w.devices) {
                        ids.push_back(d.id);
                    }
                    return list(out, ids);
                case kAudioHardwarePropertyProcessObjectList:
                    for (const auto& p : w.processes) {
                        if (p.kind == ProcessKind::simulated ||
                            store->liveness().alive(p.pid, p.startTime)) {
                            ids.push_back(p.id);
                        }
                    }
                    return list(out, ids);
                case kAudioHardwarePropertyTapList:
                    for (const auto& t : w.taps) {
                        ids.push_back(t.id);
                    }
                    return list(out, ids);
                case kAudioHardwarePropertyDefaultInputDevice:
                    return scalar(out, w.defaultInput);
                case kAudioHardwarePropertyDefaultOutputDevice:
                    return scalar(out, w.defaultOutput);
                case kAudioHardwarePropertyDefaultSystemOutputDevice:
                    return scalar(out, w.defaultSystemOutput);
                default:
                    return kAudioHardwareUnknownPropertyError;
            }
        }
        case Kind::device: {
            const Device& d = w.devices[ref->index];
            switch (sel) {
                case kAudioObjectPropertyName:
                    return text(out, d.nameIsNull ? std::nullopt : std::optional(d.name));
                case kAudioDevicePropertyDeviceUID:
                    return text(out, d.uidIsNull ? std::nullopt : std::optional(d.uid));
                case kAudioDevicePropertyTransportType:
                    return scalar(out, d.transportType);
                case kAudioDevicePropertyNominalSampleRate:
                    return scalar(out, d.nominalRate);
                case kAudioDevicePropertyAvailableNominalSampleRates:
                    return list(out, d.availableRates);
                case kAudioDevicePropertyStreamConfiguration: {
                    if (!inputOrOutput(scope)) {
                        return kAudioHardwareUnknownPropertyError;
                    }
                    std::vector<std::uint32_t> channels;
                    // While hidden, only the first exposedChannels channels show.
                    std::uint32_t shown =
                        d.hiddenChannelReads == 0 ? UINT32_MAX : d.exposedChannels;
                    for (const auto& s : d.streams) {
                        if (inScope(s, scope) && shown > 0) {
                            channels.push_back(std::min(shown, s.channels()));
                            shown -= channels.back();
                        }
                    }
                    out.consumesDelay = d.hiddenChannelReads > 0;
                    for (const auto& s : d.streams) {
                        out.consumesDelay |= s.pendingFormat.has_value() && s.pendingReads > 0;
                    }
                    std::vector<AudioBuffer> buffers;
                    for (auto c : channels) {
                        AudioBuffer b;
                        b.mNumberChannels = c;
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
                    for (const auto& s : d.streams) {
                        if (inScope(s, scope)) {
                            ids.push_back(s.id);
                        }
                    }
                    return list(out, ids);
                }
                case kAudioDevicePropertyDataSources:
                case kAudioDevicePropertyDataSource:
                case kAudioDevicePropertyDataSourceNameForIDCFString: {
                    if (scope != kAudioObjectPropertyScopeInput || d.dataSources.empty()) {
                        return kAudioHardwareUnknownPropertyError;
                    }
                    if (sel == kAudioDevicePropertyDataSourceNameForIDCFString) {
                        out.kind = ValueKind::translation;
                        return kAudioHardwareNoError;
                    }
                    std::vector<ObjectID> ids;
                    if (sel == kAudioDevicePropertyDataSources) {
                        for (const auto& s : d.dataSources) {
                            ids.push_back(s.id);
                        }
                    } else {
                        if (d.currentSource) {
                            ids.push_back(*d.currentSource);
                        }
                        out.consumesDelay = d.pendingSource.has_value() && d.pendingSourceReads > 0;
                    }
                    return list(out, ids);
                }
                case kAudioAggregateDevicePropertyComposition:
                    if (!d.composition) {
                        return kAudioHardwareUnknownPropertyError;
                    }
                    return value(out, *d.composition);
                default:
                    return kAudioHardwareUnknownPropertyError;
            }
        }
        case Kind::stream: {
            const Stream& s = w.devices[ref->index].streams[ref->sub];
            switch (sel) {
                case kAudioStreamPropertyVirtualFormat:
                    return scalar(out, s.virtualFormat);
                case kAudioStreamPropertyPhysicalFormat:
                    return scalar(out, s.physical);
                case kAudioStreamPropertyAvailablePhysicalFormats:
                case kAudioStreamPropertyAvailableVirtualFormats: {
                    const auto& formats = sel == kAudioStreamPropertyAvailablePhysicalFormats
                                              ? s.availablePhysical
                                              : s.virtualFormats();
                    return list(out, formats);
                }
                case kAudioStreamPropertyDirection:
                    return scalar(out, std::uint32_t(s.scope == StreamScope::input ? 1 : 0));
                default:
                    return kAudioHardwareUnknownPropertyError;
            }
        }
        case Kind::process: {
            const Process& p = w.processes[ref->index];
            switch (sel) {
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
        case Kind::tap: {
            const Tap& t = w.taps[ref->index];
            switch (sel) {
                case kAudioObjectPropertyName:
                    return text(out, t.description.name);
                case kAudioTapPropertyUID:
                    return text(out, t.uid);
                case kAudioTapPropertyFormat:
                    return scalar(out, t.format);
                case kAudioTapPropertyDescription:
                    return tapDescription(out, t.description);
                default:
                    return kAudioHardwareUnknownPropertyError;
            }
        }
    }
    return kAudioHardwareUnknownPropertyError;
}

void SimAudioSystem::Core::advanceDelays(ObjectID device, Selector selector) {
    (void)mutate([&](World& w) -> Status {
        Device* d = w.findDevice(device);
        if (d == nullptr) {
            return kAudioHardwareBadObjectError;
        }
        bool changed = false;
        if (selector == kAudioDevicePropertyStreamConfiguration) {
            if (d->hiddenChannelReads > 0) {
                if (--d->hiddenChannelReads == 0) {
                    d->exposedChannels = 0;
                }
                changed = true;
            }
            for (auto& s : d->streams) {
                if (s.pendingFormat && s.pendingReads > 0 && --s.pendingReads == 0) {
                    applyFormat(*d, s, kAudioStreamPropertyPhysicalFormat, *s.pendingFormat);
                    s.pendingFormat.reset();
                    changed = true;
                } else if (s.pendingFormat && s.pendingReads > 0) {
                    changed = true;
                }
            }
        } else if (d->pendingSource && d->pendingSourceReads > 0) {
            if (--d->pendingSourceReads == 0) {
                d->currentSource = d->pendingSource;
                d->pendingSource.reset();
            }
            changed = true;
        }
        return changed ? kAudioHardwareNoError : kAudioHardwareUnspecifiedError;
    });
}

std::string SimAudioSystem::Core::fingerprint(ObjectID object,
                                              const AudioObjectPropertyAddress& address) {
    auto w = world();
    if (!w) {
        return "status " + std::to_string(w.error());
    }
    Resolved r;
    Status status = resolve(**w, object, address, r);
    std::string print = audio::fingerprint(status, r);
    if (status == kAudioHardwareNoError && r.kind == ValueKind::translation) {
        for (const auto& s : (*w)->findDevice(object)->dataSources) {
            print += std::to_string(s.id) + "=" + (s.name ? "text:" + *s.name : "null") + ";";
        }
    }
    return print;
}

void SimAudioSystem::Core::deliver(asio::io_context* loop) {
    std::vector<std::pair<ListenerID, std::shared_ptr<PropertyListener>>> due;
    std::vector<std::pair<ObjectID, AudioObjectPropertyAddress>> what;
    {
        std::lock_guard<std::mutex> guard(mutex);
        callWorld = nullptr;
        // The event may be a hand edit, which moves no stamp.
        store->lookAtFile();
        auto w = world();
        std::uint64_t generation = store->generation();
        for (auto& [id, listener] : listeners) {
            if (listener.loop != loop || (w && listener.checkedGeneration == generation)) {
                continue;
            }
            listener.checkedGeneration = generation;
            auto now = fingerprint(listener.object, listener.address);
            if (now != listener.fingerprint) {
                listener.fingerprint = std::move(now);
                due.emplace_back(id, listener.callback);
                what.emplace_back(listener.object, listener.address);
            }
        }
    }
    for (std::size_t i = 0; i < due.size(); ++i) {
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (!listeners.contains(due[i].first)) {
                continue;  // removed by an earlier callback
            }
        }
        (*due[i].second)(what[i].first, {what[i].second});
    }
}

namespace {

class SimRegistration final : public ProcessRegistration {
  public:
    SimRegistration(std::shared_ptr<SimAudioSystem::Core> core, ObjectID id)
        : core_(std::move(core)), id_(id) {}
    ~SimRegistration() override {
        auto guard = core_->enter();
        (void)core_->mutate([&](World& w) -> Status {
            auto removed =
                std::erase_if(w.processes, [&](const Process& p) { return p.id == id_; });
            return removed > 0 ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
        });
    }
    SimRegistration(const SimRegistration&) = delete;
    SimRegistration& operator=(const SimRegistration&) = delete;

    ObjectID objectID() const override { return id_; }

    void setRunning(bool running) override {
        auto guard = core_->enter();
        (void)core_->mutate([&](World& w) -> Status {
            for (auto& p : w.processes) {
                if (p.id == id_ && p.running != running) {
                    p.running = running;
                    return kAudioHardwareNoError;
                }
            }
            return kAudioHardwareBadObjectError;  // nothing to write
        });
    }

  private:
    std::shared_ptr<SimAudioSystem::Core> core_;
    ObjectID id_;
};

}  // namespace

Result<std::unique_ptr<SimAudioSystem>, std::string> SimAudioSystem::open(const std::string& path) {
    auto store = WorldStore::open(path, true);
    if (!store) {
        return fail(store.error());
    }
    auto core = std::make_shared<Core>();
    core->store = std::move(*store);
    return std::unique_ptr<SimAudioSystem>(new SimAudioSystem(std::move(core)));
}

SimAudioSystem::SimAudioSystem(std::shared_ptr<Core> core) : core_(std::move(core)) {}

SimAudioSystem::~SimAudioSystem() {
    std::map<asio::io_context*, std::shared_ptr<Watcher>> watchers;
    {
        auto guard = core_->enter();
        watchers.swap(core_->watchers);
        core_->listeners.clear();
    }
    for (auto& [loop, watcher] : watchers) {
        // Still in the map, so the loop is alive.
        asio::use_service<LoopLifetime>(static_cast<asio::execution_context&>(*loop))
            .remove(core_.get());
        asio::error_code ignored;
        watcher->descriptor.close(ignored);
    }
}

bool SimAudioSystem::hasProperty(ObjectID object, const AudioObjectPropertyAddress& address) {
    auto guard = core_->enter();
    if (core_->fault(FaultOperation::has, object, address) != kAudioHardwareNoError) {
        return false;
    }
    auto w = core_->world();
    if (!w) {
        return false;
    }
    Resolved r;
    return core_->resolve(**w, object, address, r) == kAudioHardwareNoError;
}

Status SimAudioSystem::getPropertyDataSize(ObjectID object,
                                           const AudioObjectPropertyAddress& address, std::uint32_t,
                                           const void*, std::uint32_t& outSize) {
    auto guard = core_->enter();
    outSize = 0;
    Resolved r;
    if (Status s = core_->lookup(FaultOperation::sizeQuery, object, address, r)) {
        return s;
    }
    outSize = dataSize(r);
    return kAudioHardwareNoError;
}

Status SimAudioSystem::getPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,
                                       std::uint32_t, const void*, std::uint32_t& ioSize,
                                       void* outData) {
    auto guard = core_->enter();
    std::uint32_t capacity = ioSize;
    ioSize = 0;
    Resolved r;
    if (Status s = core_->lookup(FaultOperation::read, object, address, r)) {
        return s;
    }
    if (Status s = copyFixed(r, capacity, outData, ioSize)) {
        return s;
    }
    if (r.consumesDelay) {
        core_->advanceDelays(object, address.mSelector);
    }
    return kAudioHardwareNoError;
}

Status SimAudioSystem::setPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,
                                       std::uint32_t, const void*, std::uint32_t size,
                                       const void* data) {
    auto guard = core_->enter();
    const Selector sel = address.mSelector;
    Resolved r;
    if (Status s = core_->lookup(FaultOperation::write, object, address, r)) {
        return s;
    }
    const World& world = **core_->world();  // the call's world, already loaded by lookup
    Kind kind = core_->find(world, object)->kind;
    auto need = [&](std::uint32_t bytes) { return size == bytes && data != nullptr; };

    if (kind == Kind::system && (sel == kAudioHardwarePropertyDefaultInputDevice ||
                                 sel == kAudioHardwarePropertyDefaultOutputDevice ||
                                 sel == kAudioHardwarePropertyDefaultSystemOutputDevice)) {
        if (!need(4)) {
            return kAudioHardwareBadPropertySizeError;
        }
        ObjectID device;
        std::memcpy(&device, data, 4);
        return core_->mutate([&](World& next) -> Status {
            if (next.findDevice(device) == nullptr) {
                return kAudioHardwareBadDeviceError;
            }
            (sel == kAudioHardwarePropertyDefaultInputDevice    ? next.defaultInput
             : sel == kAudioHardwarePropertyDefaultOutputDevice ? next.defaultOutput
                                                                : next.defaultSystemOutput) =
                device;
            return kAudioHardwareNoError;
        });
    }
    if (kind == Kind::device && sel == kAudioDevicePropertyNominalSampleRate) {
        if (!need(8)) {
            return kAudioHardwareBadPropertySizeError;
        }
        double rate;
        std::memcpy(&rate, data, 8);
        return core_->mutate([&](World& next) -> Status {
            Device* d = next.findDevice(object);
            if (d == nullptr) {
                return kAudioHardwareBadObjectError;
            }
            if (!rateSupported(d->availableRates, rate)) {
                return kAudioDeviceUnsupportedFormatError;
            }
            setDeviceRate(*d, rate);
            return kAudioHardwareNoError;
        });
    }
    if (kind == Kind::device && sel == kAudioDevicePropertyDataSource) {
        if (!need(4)) {
            return kAudioHardwareBadPropertySizeError;
        }
        std::uint32_t source;
        std::memcpy(&source, data, 4);
        return core_->mutate([&](World& next) -> Status {
            Device* d = next.findDevice(object);
            if (d == nullptr) {
                return kAudioHardwareBadObjectError;
            }
            if (std::none_of(d->dataSources.begin(), d->dataSources.end(),
                             [&](const DataSource& s) { return s.id == source; })) {
                return kAudioHardwareIllegalOperationError;
            }
            std::optional<std::int32_t> delay;
            if (d->pendingSource) {
                delay = d->pendingSourceReads;
            } else if (auto rule = takeDelay(next, DelayEffect::dataSource, object, {})) {
                delay = rule->reads;
            }
            if (delay && *delay != 0) {
                d->pendingSource = source;
                d->pendingSourceReads = *delay;
            } else {
                d->currentSource = source;
            }
            return kAudioHardwareNoError;
        });
    }
    if (kind == Kind::stream &&
        (sel == kAudioStreamPropertyPhysicalFormat || sel == kAudioStreamPropertyVirtualFormat)) {
        if (!need(sizeof(AudioStreamBasicDescription))) {
            return kAudioHardwareBadPropertySizeError;
        }
        AudioStreamBasicDescription format;
        std::memcpy(&format, data, sizeof format);
        return core_->mutate([&](World& next) -> Status {
            for (auto& d : next.devices) {
                for (auto& s : d.streams) {
                    if (s.id != object) {
                        continue;
                    }
                    if (!formatSupported(s, sel, format)) {
                        return kAudioDeviceUnsupportedFormatError;
                    }
                    std::optional<std::int32_t> delay;
                    if (s.pendingFormat) {
                        delay = s.pendingReads;
                    } else if (auto rule = takeDelay(next, DelayEffect::streamFormat, object, {})) {
                        delay = rule->reads;
                    }
                    if (delay && *delay != 0) {
                        s.pendingFormat = format;
                        s.pendingReads = *delay;
                    } else {
                        applyFormat(d, s, sel, format);
                    }
                    return kAudioHardwareNoError;
                }
            }
            return kAudioHardwareBadObjectError;
        });
    }
    return kAudioHardwareIllegalOperationError;
}

namespace {

// The typed reads of reference values differ only in the kind of value they accept.
template <typename T>
Status readReference(SimAudioSystem::Core& core, ObjectID object,
                     const AudioObjectPropertyAddress& address, ValueKind kind,
                     std::optional<T> Resolved::*member, std::optional<T>& out) {
    auto guard = core.enter();
    out.reset();
    Resolved r;
    if (Status s = core.lookup(FaultOperation::read, object, address, r)) {
        return s;
    }
    return takeReference(r, kind, member, out);
}

}  // namespace

Status SimAudioSystem::getStringProperty(ObjectID object, const AudioObjectPropertyAddress& address,
                                         std::optional<std::string>& out) {
    return readReference(*core_, object, address, ValueKind::text, &Resolved::text, out);
}

Status SimAudioSystem::getValueProperty(ObjectID object, const AudioObjectPropertyAddress& address,
                                        std::optional<Value>& out) {
    return readReference(*core_, object, address, ValueKind::value, &Resolved::value, out);
}

Status SimAudioSystem::getTapDescription(ObjectID object, const AudioObjectPropertyAddress& address,
                                         std::optional<TapDescription>& out) {
    return readReference(*core_, object, address, ValueKind::tapDescription, &Resolved::tap, out);
}

Status SimAudioSystem::setTapDescription(ObjectID object, const AudioObjectPropertyAddress& address,
                                         const TapDescription& description) {
    auto guard = core_->enter();
    Resolved r;
    if (Status s = core_->lookup(FaultOperation::write, object, address, r)) {
        return s;
    }
    if (r.kind != ValueKind::tapDescription) {
        return kAudioHardwareIllegalOperationError;
    }
    if (r.tap == description) {
        return kAudioHardwareNoError;  // nothing changes, nothing to announce
    }
    return core_->mutate([&](World& next) -> Status {
        for (auto& t : next.taps) {
            if (t.id == object) {
                if (t.description.mono != description.mono) {
                    withChannelsAndRate(t.format, description.mono ? 1 : 2, t.format.mSampleRate);
                }
                t.description = description;
                return kAudioHardwareNoError;
            }
        }
        return kAudioHardwareBadObjectError;
    });
}

Status SimAudioSystem::translateDataSourceName(ObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               std::uint32_t sourceID,
                                               std::optional<std::string>& out) {
    auto guard = core_->enter();
    out.reset();
    Resolved r;
    if (Status s = core_->lookup(FaultOperation::read, object, address, r)) {
        return s;
    }
    if (r.kind != ValueKind::translation) {
        return kAudioHardwareBadPropertySizeError;
    }
    for (const auto& s : (**core_->world()).findDevice(object)->dataSources) {
        if (s.id == sourceID) {
            out = s.name;
            return kAudioHardwareNoError;
        }
    }
    return kAudioHardwareIllegalOperationError;
}

Status SimAudioSystem::createAggregateDevice(const Value& description, ObjectID& outDevice) {
    auto guard = core_->enter();
    outDevice = kAudioObjectUnknown;
    if (Status s =
            core_->fault(FaultOperation::create, 0, globalAddress(kSimCreateAggregateDevice))) {
        return s;
    }
    if (!description.is_object() ||
        !pellimar::json::nestedWithin(description, kMaxDescriptionNesting)) {
        return kAudio_ParamError;
    }
    if (auto uid = description.find("uid"); uid != description.end() && !uid->is_string()) {
        return kAudio_ParamError;
    }
    ObjectID created = 0;
    Status status = core_->mutate([&](World& w) -> Status {
        if (auto uid = description.find("uid");
            uid != description.end() && w.findDeviceByUID(uid->get<std::string>()) != nullptr) {
            return kAudioHardwareIllegalOperationError;  // UIDs are unique on the system
        }
        Device d = makeAggregate(w, description);
        if (auto rule = takeDelay(w, DelayEffect::aggregateChannels, 0, d.uid)) {
            d.hiddenChannelReads = rule->reads;
            d.exposedChannels = rule->channels;
        }
        created = d.id;
        w.devices.push_back(std::move(d));
        return kAudioHardwareNoError;
    });
    if (status == kAudioHardwareNoError) {
        outDevice = created;
    }
    return status;
}

Status SimAudioSystem::destroyAggregateDevice(ObjectID device) {
    auto guard = core_->enter();
    if (Status s = core_->fault(FaultOperation::destroy, device,
                                globalAddress(kSimDestroyAggregateDevice))) {
        return s;
    }
    return core_->mutate([&](World& w) -> Status {
        const Device* d = w.findDevice(device);
        if (d == nullptr || !d->isAggregate()) {
            return kAudioHardwareBadObjectError;
        }
        std::erase_if(w.devices, [&](const Device& x) { return x.id == device; });
        if (w.defaultInput == device) {
            w.defaultInput = fallbackDefault(w, StreamScope::input);
        }
        if (w.defaultOutput == device) {
            w.defaultOutput = fallbackDefault(w, StreamScope::output);
        }
        if (w.defaultSystemOutput == device) {
            w.defaultSystemOutput = fallbackDefault(w, StreamScope::output);
        }
        return kAudioHardwareNoError;
    });
}

Status SimAudioSystem::createProcessTap(const TapDescription& description, ObjectID& outTap) {
    auto guard = core_->enter();
    outTap = kAudioObjectUnknown;
    if (Status s = core_->fault(FaultOperation::create, 0, globalAddress(kSimCreateProcessTap))) {
        return s;
    }
    ObjectID created = 0;
    Status status = core_->mutate([&](World& w) -> Status {
        Tap t;
        t.id = created = w.allocateID();
        t.uid = newTapUID();
        t.description = description;
        t.format = tapFormat(description.mono);
        w.taps.push_back(std::move(t));
        return kAudioHardwareNoError;
    });
    if (status == kAudioHardwareNoError) {
        outTap = created;
    }
    return status;
}

Status SimAudioSystem::destroyProcessTap(ObjectID tap) {
    auto guard = core_->enter();
    if (Status s =
            core_->fault(FaultOperation::destroy, tap, globalAddress(kSimDestroyProcessTap))) {
        return s;
    }
    return core_->mutate([&](World& w) -> Status {
        auto removed = std::erase_if(w.taps, [&](const Tap& t) { return t.id == tap; });
        return removed > 0 ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
    });
}

Status SimAudioSystem::addPropertyListener(ObjectID object,
                                           const AudioObjectPropertyAddress& address,
                                           asio::io_context& loop, PropertyListener listener,
                                           ListenerID& outID) {
    auto guard = core_->enter();
    outID = 0;
    if (!listener) {
        return kAudio_ParamError;
    }
    auto w = core_->world();
    if (!w) {
        return w.error();
    }
    if (core_->find(**w, object) == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    if (!core_->watchers.contains(&loop)) {
        int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd < 0) {
            return kAudioHardwareUnspecifiedError;
        }
        const std::string& path = core_->store->path();
        auto slash = path.rfind('/');
        std::string dir =
            slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (::inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO | IN_CREATE | IN_CLOSE_WRITE) < 0) {
            ::close(fd);
            return kAudioHardwareUnspecifiedError;
        }
        auto watcher = std::make_shared<Watcher>(loop, fd, core_, name);
        watcher->arm();
        core_->watchers.emplace(&loop, std::move(watcher));
        std::weak_ptr<Core> owner = core_;
        asio::execution_context* context = &loop;
        asio::use_service<LoopLifetime>(*context).add(core_.get(), [owner, context] {
            auto core = owner.lock();
            if (!core) {
                return;
            }
            std::lock_guard<std::mutex> guard(core->mutex);
            auto loop = static_cast<asio::io_context*>(context);
            if (auto it = core->watchers.find(loop); it != core->watchers.end()) {
                asio::error_code ignored;
                it->second->descriptor.close(ignored);
                core->watchers.erase(it);
            }
            std::erase_if(core->listeners, [&](const auto& l) { return l.second.loop == loop; });
        });
    }
    Listener entry;
    entry.object = object;
    entry.address = address;
    entry.loop = &loop;
    entry.callback = std::make_shared<PropertyListener>(std::move(listener));
    entry.fingerprint = core_->fingerprint(object, address);
    entry.checkedGeneration = core_->store->generation();
    outID = core_->nextListener++;
    core_->listeners.emplace(outID, std::move(entry));
    return kAudioHardwareNoError;
}

Status SimAudioSystem::removePropertyListener(ListenerID id) {
    auto guard = core_->enter();
    return core_->listeners.erase(id) > 0 ? kAudioHardwareNoError : kAudio_ParamError;
}

bool SimAudioSystem::supportsProcessTaps() const {
    auto guard = core_->enter();
    auto w = core_->world();
    return !w || (*w)->supportsProcessTaps;
}

Result<std::unique_ptr<ProcessRegistration>, std::string> SimAudioSystem::registerProcess(
    const std::string& bundleID) {
    auto guard = core_->enter();
    auto pid = std::int32_t(::getpid());
    auto start = processStartTime(pid);
    if (!start) {
        return fail(std::string("Simulated audio system: cannot read this process's start time"));
    }
    ObjectID id = 0;
    core_->callWorld = nullptr;
    auto r = core_->store->mutate([&](World& w) {
        Process p;
        p.id = id = w.allocateID();
        p.pid = pid;
        p.bundleID = bundleID;
        p.kind = ProcessKind::live;
        p.startTime = *start;
        w.processes.push_back(p);
        return true;
    });
    if (!r) {
        return fail(r.error());
    }
    return std::unique_ptr<ProcessRegistration>(new SimRegistration(core_, id));
}

}  // namespace pellimar::audio::sim
