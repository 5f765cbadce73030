#pragma once
// An output queue that only records the devices it is moved to.

#include <string>
#include <vector>

#include "platform/audio_queue/audio_queue.hpp"

namespace pellimar::testing {

class DeviceRecordingQueue final : public audio::OutputQueue {
  public:
    audio::Status allocateBuffer(std::uint32_t, audio::AudioQueueBufferRef&) override { return 0; }
    audio::Status enqueueBuffer(audio::AudioQueueBufferRef) override { return 0; }
    audio::Status start() override { return 0; }
    audio::Status stop(bool) override { return 0; }
    audio::Status getIsRunning(std::uint32_t& r) override {
        r = 0;
        return 0;
    }
    audio::Status setCurrentDevice(const std::string& uid) override {
        devices.push_back(uid);
        return status;
    }
    const audio::AudioStreamBasicDescription& format() const override { return format_; }

    std::vector<std::string> devices;
    audio::Status status = 0;

  private:
    audio::AudioStreamBasicDescription format_;
};

}  // namespace pellimar::testing
