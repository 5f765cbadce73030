#pragma once
// The simulated output queue: a real-time clock plays each buffer and hands it back.

#include <memory>

#include "platform/audio_queue/audio_queue.hpp"

namespace pellimar::audio {

// Options already checked by newOutputQueue.
Result<std::unique_ptr<OutputQueue>, Status> newSimOutputQueue(AudioSystem& system,
                                                               OutputQueueOptions options);

}  // namespace pellimar::audio
