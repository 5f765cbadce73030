#pragma once
// The buffers a queue owns and the checks every backend makes when one is enqueued.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio_queue/audio_queue.hpp"

namespace pellimar::audio {

// Slot: a backend's record per buffer, with `header`, `storage` and `queued` members.
// Not locked: the owning queue holds its own lock around every call.
template <typename Slot>
class QueueBuffers {
  public:
    Status allocate(std::uint32_t capacity, AudioQueueBufferRef& outBuffer) {
        outBuffer = nullptr;
        if (capacity == 0) {
            return kAudioQueueErr_InvalidParameter;
        }
        auto slot = std::make_unique<Slot>();
        slot->storage.assign(capacity, 0);
        slot->header.mAudioDataBytesCapacity = capacity;
        slot->header.mAudioData = slot->storage.data();
        outBuffer = &slot->header;
        slots_.push_back(std::move(slot));
        return 0;
    }

    // Marks the buffer queued when it may be: one of ours, not queued yet, whole frames.
    Status admit(AudioQueueBufferRef buffer, std::uint32_t bytesPerFrame, Slot*& outSlot) {
        outSlot = nullptr;
        Slot* slot = nullptr;
        for (auto& s : slots_) {
            if (&s->header == buffer) {
                slot = s.get();
            }
        }
        if (!slot) {
            return kAudioQueueErr_InvalidBuffer;
        }
        if (slot->queued) {
            return kAudioQueueErr_BufferInQueue;
        }
        const std::uint32_t size = buffer->mAudioDataByteSize;
        if (size == 0) {
            return kAudioQueueErr_BufferEmpty;
        }
        if (size > buffer->mAudioDataBytesCapacity || size % bytesPerFrame) {
            return kAudioQueueErr_InvalidParameter;
        }
        slot->queued = true;
        outSlot = slot;
        return 0;
    }

  private:
    std::vector<std::unique_ptr<Slot>> slots_;
};

}  // namespace pellimar::audio
