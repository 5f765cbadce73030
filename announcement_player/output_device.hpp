#pragma once
// Announcements are plain stereo: when the default output is not a two-channel device, a queue
// is moved to a stereo device, one whose name says "speaker" first.

#include "platform/audio_queue/audio_queue.hpp"
#include "platform/audio_system/audio_system.hpp"

namespace pellimar::announcement {

// Sum of the channels of the device's output streams; 0 when they cannot be read.
std::uint32_t outputChannelCount(audio::AudioSystem& system, audio::ObjectID device);
// The device's name; empty when it cannot be read.
std::string deviceName(audio::AudioSystem& system, audio::ObjectID device);

// Chooses once, right after the queue was created. Never fails; logs the choice it made. The
// device the queue was moved to; 0 when it stays on the system default.
audio::ObjectID preferStereoOutputDevice(audio::AudioSystem& system, audio::OutputQueue& queue);

}  // namespace pellimar::announcement
