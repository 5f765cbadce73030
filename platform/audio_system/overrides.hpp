#pragma once
// The overrides every backend declares, written once so that the backends' classes stay in step
// with AudioSystem: put PELLIMAR_AUDIO_SYSTEM_OVERRIDES in the public part of the class.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio_system/audio_system.hpp"

// clang-format off
#define PELLIMAR_AUDIO_SYSTEM_OVERRIDES                                                            \
    bool hasProperty(ObjectID object, const AudioObjectPropertyAddress& address) override;        \
    Status getPropertyDataSize(ObjectID object, const AudioObjectPropertyAddress& address,         \
                               std::uint32_t qualifierSize, const void* qualifier,                 \
                               std::uint32_t& outSize) override;                                   \
    Status getPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,             \
                           std::uint32_t qualifierSize, const void* qualifier,                     \
                           std::uint32_t& ioSize, void* outData) override;                         \
    Status setPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,             \
                           std::uint32_t qualifierSize, const void* qualifier, std::uint32_t size, \
                           const void* data) override;                                             \
    Status getStringProperty(ObjectID object, const AudioObjectPropertyAddress& address,           \
                             std::optional<std::string>& out) override;                            \
    Status getValueProperty(ObjectID object, const AudioObjectPropertyAddress& address,            \
                            std::optional<Value>& out) override;                                   \
    Status getTapDescription(ObjectID object, const AudioObjectPropertyAddress& address,           \
                             std::optional<TapDescription>& out) override;                         \
    Status setTapDescription(ObjectID object, const AudioObjectPropertyAddress& address,           \
                             const TapDescription& description) override;                          \
    Status translateDataSourceName(ObjectID object, const AudioObjectPropertyAddress& address,     \
                                   std::uint32_t sourceID,                                         \
                                   std::optional<std::string>& out) override;                      \
    Status createAggregateDevice(const Value& description, ObjectID& outDevice) override;          \
    Status destroyAggregateDevice(ObjectID device) override;                                       \
    Status createProcessTap(const TapDescription& description, ObjectID& outTap) override;         \
    Status destroyProcessTap(ObjectID tap) override;                                               \
    Status addPropertyListener(ObjectID object, const AudioObjectPropertyAddress& address,         \
                               asio::io_context& loop, PropertyListener listener,                  \
                               ListenerID& outID) override;                                        \
    Status removePropertyListener(ListenerID id) override;                                         \
    bool supportsProcessTaps() const override;                                                     \
    Result<std::unique_ptr<ProcessRegistration>, std::string> registerProcess(                     \
        const std::string& bundleID) override
// clang-format on
