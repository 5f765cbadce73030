#pragma once
// The audio object system on a PipeWire daemon: reads answer from the graph cache, listeners
// fire on the caller's run loop when a cached value changes. Taps and aggregate devices are nodes
// of the graph (objects.hpp).

#include <memory>
#include <string>

#include "platform/audio_system/audio_system.hpp"
#include "platform/pipewire/graph.hpp"

namespace pellimar::audio::pipewire {

// Stream objects have no PipeWire object of their own: a node's stream ID is derived from the
// node's serial.
constexpr ObjectID kOutputStreamFlag = 0x80000000u;
constexpr ObjectID kInputStreamFlag = 0x40000000u;

class ServerObjects;

class PipeWireAudioSystem final : public AudioSystem {
  public:
    static Result<std::unique_ptr<PipeWireAudioSystem>, std::string> open();
    ~PipeWireAudioSystem() override;
    PipeWireAudioSystem(const PipeWireAudioSystem&) = delete;
    PipeWireAudioSystem& operator=(const PipeWireAudioSystem&) = delete;

    bool hasProperty(ObjectID object, const AudioObjectPropertyAddress& address) override;
    Status getPropertyDataSize(ObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t qualifierSize, const void* qualifier,
                               std::uint32_t& outSize) override;
    Status getPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifier,
                           std::uint32_t& ioSize, void* outData) override;
    Status setPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifier, std::uint32_t size,
                           const void* data) override;
    Status getStringProperty(ObjectID object, const AudioObjectPropertyAddress& address,
                             std::optional<std::string>& out) override;
    Status getValueProperty(ObjectID object, const AudioObjectPropertyAddress& address,
                            std::optional<Value>& out) override;
    Status getTapDescription(ObjectID object, const AudioObjectPropertyAddress& address,
                             std::optional<TapDescription>& out) override;
    Status setTapDescription(ObjectID object, const AudioObjectPropertyAddress& address,
                             const TapDescription& description) override;
    Status translateDataSourceName(ObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t sourceID,
                                   std::optional<std::string>& out) override;
    Status createAggregateDevice(const Value& description, ObjectID& outDevice) override;
    Status destroyAggregateDevice(ObjectID device) override;
    Status createProcessTap(const TapDescription& description, ObjectID& outTap) override;
    Status destroyProcessTap(ObjectID tap) override;
    Status addPropertyListener(ObjectID object, const AudioObjectPropertyAddress& address,
                               asio::io_context& loop, PropertyListener listener,
                               ListenerID& outID) override;
    Status removePropertyListener(ListenerID id) override;
    bool supportsProcessTaps() const override;
    Result<std::unique_ptr<ProcessRegistration>, std::string> registerProcess(
        const std::string& bundleID) override;

    const std::shared_ptr<Graph>& graph() const { return graph_; }

    struct Listeners;

  private:
    explicit PipeWireAudioSystem(std::shared_ptr<Graph> graph);
    std::shared_ptr<Graph> graph_;
    std::shared_ptr<Listeners> listeners_;
    std::uint64_t hook_ = 0;
    std::unique_ptr<ServerObjects> objects_;
};

}  // namespace pellimar::audio::pipewire
