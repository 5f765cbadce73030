// The facade's calls on the graph: property reads and the few writes on the cache; taps and
// aggregate devices are ServerObjects'.

#include "platform/pipewire/audio_system.hpp"

#include <pipewire/keys.h>
#include <unistd.h>

#include <cstring>

#include "platform/audio_system/property_value.hpp"
#include "platform/pipewire/listeners.hpp"
#include "platform/pipewire/objects.hpp"
#include "platform/pipewire/resolution.hpp"

namespace pellimar::audio::pipewire {

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
    outSize = dataSize(r);
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
    return copyFixed(r, capacity, outData, ioSize);
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
    if (r.kind == ValueKind::fixed && r.element == 0 && data && size == r.bytes.size() &&
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
    return takeReference(r, ValueKind::text, &Resolved::text, out);
}

Status PipeWireAudioSystem::getValueProperty(ObjectID object,
                                             const AudioObjectPropertyAddress& address,
                                             std::optional<Value>& out) {
    out.reset();
    Resolved r;
    if (Status s = resolveLocked(*graph_, object, address, r)) {
        return s;
    }
    return takeReference(r, ValueKind::value, &Resolved::value, out);
}

Status PipeWireAudioSystem::getTapDescription(ObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              std::optional<TapDescription>& out) {
    out.reset();
    Resolved r;
    if (Status s = resolveLocked(*graph_, object, address, r)) {
        return s;
    }
    return takeReference(r, ValueKind::tapDescription, &Resolved::tap, out);
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
        if (r.kind != ValueKind::tapDescription) {
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
