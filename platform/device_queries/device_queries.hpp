#pragma once
// Property reads, device queries and queue steps shared by every audio program. The two players
// use them too, and they carry no copy of the capture and fabric programs' access layer
// (audio_objects), which adds its error type and message texts on top of these reads.

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/audio_queue/audio_queue.hpp"
#include "platform/audio_system/audio_system.hpp"
#include "platform/common/log.hpp"
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

// Which call of a two-step read (size, then data) failed, and how.
struct PropertyReadFailure {
    bool sizeQuery = false;
    Status status = 0;
};

// The object IDs of a list property of the system object, in the platform's order.
Result<std::vector<ObjectID>, PropertyReadFailure> objectList(AudioSystem& system,
                                                              Selector selector);

// A fixed-size value of the global scope, starting from `initial`.
template <typename T>
Result<T, Status> readScalar(AudioSystem& system, ObjectID object, Selector selector, T initial) {
    static_assert(std::is_trivially_copyable_v<T>);
    T value = initial;
    std::uint32_t size = sizeof(T);
    const Status status = system.getPropertyData(object, {selector}, 0, nullptr, size, &value);
    if (status != 0) {
        return fail(status);
    }
    return value;
}

// A string property of the global scope; the null reference reads as the empty text.
Result<std::string, Status> readString(AudioSystem& system, ObjectID object, Selector selector);

// Channels summed over the buffers of a device's stream configuration at `address`, counting
// only buffers that lie inside the bytes the platform wrote. The read offers at least
// `minimumBytes` of room.
Result<std::int64_t, PropertyReadFailure> streamChannelCount(
    AudioSystem& system, ObjectID device, const AudioObjectPropertyAddress& address,
    std::uint32_t minimumBytes = 0);

// Moves a queue to a device by its UID and logs the move; an unknown device or an unreadable UID
// leave the queue where it is. Returns the device moved to, else 0.
ObjectID moveQueueToDevice(AudioSystem& system, OutputQueue& queue, ObjectID device,
                           const LogWriter& log);

}  // namespace pellimar::audio
