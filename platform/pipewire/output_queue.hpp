#pragma once
// The output queue on a PipeWire stream of the backend's connection.

#include <memory>

#include "platform/audio_queue/audio_queue.hpp"
#include "platform/pipewire/audio_system.hpp"

namespace pellimar::audio {

// Options already checked by newOutputQueue.
Result<std::unique_ptr<OutputQueue>, Status> newPipeWireOutputQueue(
    pipewire::PipeWireAudioSystem& system, OutputQueueOptions options);

}  // namespace pellimar::audio
