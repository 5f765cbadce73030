#pragma once
// Small device queries and queue steps shared by every audio program, the two players included,
// which is why they live here and not in the capture and fabric programs' access layer.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/audio_queue/audio_queue.hpp"
#include "platform/audio_system/audio_system.hpp"
#include "platform/common/result.hpp"

namespace pellimar::audio {

enum class SampleType { float32, int16 };

// Packed interleaved linear PCM, one frame per packet.
constexpr AudioStreamBasicDescription packedPcmFormat(double rate, std::uint32_t channels,
                                                      SampleType type) {
    const bool isFloat = type == SampleType::float32;
    const std::uint32_t bits = isFloat ? 32 : 16;
    AudioStreamBasicDescription f;
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = (isFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) |
                     kAudioFormatFlagIsPacked;
    f.mBytesPerPacket = bits / 8 * channels;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = bits / 8 * channels;
    f.mChannelsPerFrame = channels;
    f.mBitsPerChannel = bits;
    return f;
}

// Which of the two calls of a stream-configuration read failed, and how.
struct StreamConfigurationFailure {
    bool sizeQuery = false;
    Status status = 0;
};

// Channels summed over the buffers of a device's stream configuration at `address`, counting
// only buffers that lie inside the bytes the platform wrote. The read offers at least
// `minimumBytes` of room.
Result<std::int64_t, StreamConfigurationFailure> streamChannelCount(
    AudioSystem& system, ObjectID device, const AudioObjectPropertyAddress& address,
    std::uint32_t minimumBytes = 0);

// Moves a queue to a device by its UID and logs the move; an unknown device or an unreadable UID
// leave the queue where it is.
void moveQueueToDevice(AudioSystem& system, OutputQueue& queue, ObjectID device,
                       const std::function<void(const std::string&)>& logLine);

}  // namespace pellimar::audio
