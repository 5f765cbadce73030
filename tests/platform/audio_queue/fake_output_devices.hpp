#pragma once
// A small in-memory audio system for queue and player tests: a device list with transport types,
// output channel counts, UIDs and names, and a record of process registrations.

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_system/audio_system.hpp"

namespace pellimar::testing {

using namespace pellimar::audio;

class FakeOutputDevices : public AudioSystem {
  public:
    struct Device {
        ObjectID id = 0;
        std::string uid;
        std::string name;
        std::uint32_t transport = kAudioDeviceTransportTypeBuiltIn;
        std::vector<std::uint32_t> outputBuffers;  // channels per output buffer
    };

    // What registrations did, in order: "register <bundle>", "running 1", "running 0", "end".
    std::vector<std::string> events() {
        std::lock_guard guard(lock_);
        return events_;
    }
    void note(std::string event) {
        std::lock_guard guard(lock_);
        events_.push_back(std::move(event));
    }

    std::vector<Device> devices;
    ObjectID defaultOutput = 0;
    bool refuseRegistration = false;

    bool hasProperty(ObjectID, const AudioObjectPropertyAddress&) override { return false; }

    Status getPropertyDataSize(ObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t, const void*, std::uint32_t& outSize) override {
        if (object == kAudioObjectSystemObject &&
            address.mSelector == kAudioHardwarePropertyDevices) {
            outSize = std::uint32_t(devices.size() * 4);
            return 0;
        }
        if (const Device* d = find(object);
            d && address.mSelector == kAudioDevicePropertyStreamConfiguration &&
            address.mScope == kAudioObjectPropertyScopeOutput) {
            outSize = d->outputBuffers.empty()
                          ? 0
                          : audioBufferListSize(std::uint32_t(d->outputBuffers.size()));
            return 0;
        }
        return kAudioHardwareUnknownPropertyError;
    }

    Status getPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t, const void*, std::uint32_t& ioSize,
                           void* outData) override {
        if (object == kAudioObjectSystemObject) {
            if (address.mSelector == kAudioHardwarePropertyDevices) {
                const std::uint32_t n = std::min<std::uint32_t>(ioSize / 4, devices.size());
                for (std::uint32_t i = 0; i < n; ++i) {
                    std::memcpy(static_cast<char*>(outData) + 4 * i, &devices[i].id, 4);
                }
                ioSize = n * 4;
                return 0;
            }
            if (address.mSelector == kAudioHardwarePropertyDefaultOutputDevice && ioSize >= 4) {
                std::memcpy(outData, &defaultOutput, 4);
                ioSize = 4;
                return 0;
            }
            return kAudioHardwareUnknownPropertyError;
        }
        const Device* d = find(object);
        if (!d) {
            return kAudioHardwareBadObjectError;
        }
        if (address.mSelector == kAudioDevicePropertyTransportType && ioSize >= 4) {
            std::memcpy(outData, &d->transport, 4);
            ioSize = 4;
            return 0;
        }
        if (address.mSelector == kAudioDevicePropertyStreamConfiguration &&
            address.mScope == kAudioObjectPropertyScopeOutput) {
            const auto count = std::uint32_t(d->outputBuffers.size());
            if (ioSize < audioBufferListSize(count)) {
                return kAudioHardwareBadPropertySizeError;
            }
            auto* list = static_cast<AudioBufferList*>(outData);
            list->mNumberBuffers = count;
            for (std::uint32_t i = 0; i < count; ++i) {
                list->mBuffers[i] = AudioBuffer{d->outputBuffers[i], 0, nullptr};
            }
            ioSize = audioBufferListSize(count);
            return 0;
        }
        return kAudioHardwareUnknownPropertyError;
    }

    Status setPropertyData(ObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*,
                           std::uint32_t, const void*) override {
        return kAudioHardwareUnknownPropertyError;
    }

    Status getStringProperty(ObjectID object, const AudioObjectPropertyAddress& address,
                             std::optional<std::string>& out) override {
        const Device* d = find(object);
        if (!d) {
            return kAudioHardwareBadObjectError;
        }
        if (address.mSelector == kAudioDevicePropertyDeviceUID) {
            out = d->uid;
            return 0;
        }
        if (address.mSelector == kAudioObjectPropertyName) {
            out = d->name;
            return 0;
        }
        return kAudioHardwareUnknownPropertyError;
    }
    Status getValueProperty(ObjectID, const AudioObjectPropertyAddress&,
                            std::optional<Value>&) override {
        return kAudioHardwareUnknownPropertyError;
    }
    Status getTapDescription(ObjectID, const AudioObjectPropertyAddress&,
                             std::optional<TapDescription>&) override {
        return kAudioHardwareUnknownPropertyError;
    }
    Status setTapDescription(ObjectID, const AudioObjectPropertyAddress&,
                             const TapDescription&) override {
        return kAudioHardwareUnknownPropertyError;
    }
    Status translateDataSourceName(ObjectID, const AudioObjectPropertyAddress&, std::uint32_t,
                                   std::optional<std::string>&) override {
        return kAudioHardwareUnknownPropertyError;
    }
    Status createAggregateDevice(const Value&, ObjectID&) override {
        return kAudioHardwareUnsupportedOperationError;
    }
    Status destroyAggregateDevice(ObjectID) override {
        return kAudioHardwareUnsupportedOperationError;
    }
    Status createProcessTap(const TapDescription&, ObjectID&) override {
        return kAudioHardwareUnsupportedOperationError;
    }
    Status destroyProcessTap(ObjectID) override { return kAudioHardwareUnsupportedOperationError; }
    Status addPropertyListener(ObjectID, const AudioObjectPropertyAddress&, asio::io_context&,
                               PropertyListener, ListenerID&) override {
        return kAudioHardwareUnsupportedOperationError;
    }
    Status removePropertyListener(ListenerID) override { return 0; }
    bool supportsProcessTaps() const override { return true; }

    Result<std::unique_ptr<ProcessRegistration>, std::string> registerProcess(
        const std::string& bundleID) override {
        if (refuseRegistration) {
            return fail(std::string("refused"));
        }
        note("register " + bundleID);
        std::unique_ptr<ProcessRegistration> registration = std::make_unique<Registration>(*this);
        return registration;
    }

  private:
    class Registration : public ProcessRegistration {
      public:
        explicit Registration(FakeOutputDevices& system) : system_(system) {}
        ~Registration() override { system_.note("end"); }
        ObjectID objectID() const override { return 77; }
        void setRunning(bool running) override {
            system_.note(running ? "running 1" : "running 0");
        }

      private:
        FakeOutputDevices& system_;
    };

    const Device* find(ObjectID id) const {
        for (const auto& d : devices) {
            if (d.id == id) {
                return &d;
            }
        }
        return nullptr;
    }

    std::mutex lock_;
    std::vector<std::string> events_;
};

}  // namespace pellimar::testing
