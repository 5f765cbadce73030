#pragma once
// What the players say about their output queue when PELLIMAR_LOG asks for it.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/audio_queue/audio_queue.hpp"
#include "platform/common/log.hpp"

namespace pellimar::audio {

// "48000 Hz, 2 channels, 32-bit float".
inline std::string formatDescription(const AudioStreamBasicDescription& format) {
    const bool isFloat = format.mFormatFlags & kAudioFormatFlagIsFloat;
    return std::to_string(static_cast<long long>(format.mSampleRate)) + " Hz, " +
           std::to_string(format.mChannelsPerFrame) + " channels, " +
           std::to_string(format.mBitsPerChannel) + (isFloat ? "-bit float" : "-bit integer");
}

// "Output: FORMAT, N buffers of M frames, on device ID (NAME)." for a queue that was moved to
// `movedTo`, or on the default device when that is 0.
inline std::string outputDescription(AudioSystem& system, ObjectID movedTo,
                                     const OutputQueue& queue, int buffers, std::uint32_t frames) {
    ObjectID device = movedTo;
    if (device == 0) {
        std::uint32_t size = sizeof device;
        if (system.getPropertyData(kAudioObjectSystemObject,
                                   {kAudioHardwarePropertyDefaultOutputDevice}, 0, nullptr, size,
                                   &device) != 0) {
            device = 0;
        }
    }
    std::optional<std::string> name;
    if (device == 0 || system.getStringProperty(device, {kAudioObjectPropertyName}, name) != 0) {
        name.reset();
    }
    return "Output: " + formatDescription(queue.format()) + ", " + std::to_string(buffers) +
           " buffers of " + std::to_string(frames) + " frames, on " +
           (movedTo == 0 ? "the default device" : "device") +
           (device == 0 ? std::string()
                        : " " + std::to_string(device) + " (" + name.value_or("") + ")") +
           ".";
}

// Logs a queue's quantum when it is first known and when it changes, and its underruns as they
// add up. Called on a control thread now and then, never on the queue's data thread, which only
// counts.
class QueueWatch {
  public:
    void check(const OutputQueueStatistics& now, const LogWriter& log) {
        if (now.quantumFrames != 0 && now.quantumFrames != seen_.quantumFrames) {
            log.detail(LogLevel::info,
                       "Output quantum: " + std::to_string(now.quantumFrames) + " frames.");
        }
        if (now.underruns > seen_.underruns) {
            log.detail(LogLevel::warning,
                       "Output underrun: " + std::to_string(now.underruns - seen_.underruns) +
                           " more, " + std::to_string(now.underruns) + " in all.");
        }
        seen_ = now;
    }

  private:
    OutputQueueStatistics seen_;
};

}  // namespace pellimar::audio
