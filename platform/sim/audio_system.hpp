#pragma once
// The simulated audio system: every process that opens it shares one world file.
//
// Thread safety: calls may come from any thread. Listeners are delivered on the io_context they
// were added with, on the thread running it. Destroy the audio system on that thread or while the
// context is not running; the context may be destroyed before or after it.

#include <memory>
#include <string>

#include "platform/audio_system/audio_system.hpp"

namespace pellimar::audio::sim {

class SimAudioSystem final : public AudioSystem {
  public:
    // Opens the world at path, creating the default machine when the file is missing.
    static Result<std::unique_ptr<SimAudioSystem>, std::string> open(const std::string& path);
    ~SimAudioSystem() override;
    SimAudioSystem(const SimAudioSystem&) = delete;
    SimAudioSystem& operator=(const SimAudioSystem&) = delete;

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

    struct Core;

  private:
    explicit SimAudioSystem(std::shared_ptr<Core> core);
    std::shared_ptr<Core> core_;
};

}  // namespace pellimar::audio::sim
