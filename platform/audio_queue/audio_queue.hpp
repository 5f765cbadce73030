#pragma once
// Output audio queues: a fixed stream format, a few buffers in rotation, and a callback that hands
// each played buffer back to be refilled. Mirrors Audio Queue Services closely enough that the
// programs read like their macOS counterparts; the backend (the simulated real-time clock, later
// PipeWire) is chosen by PELLIMAR_AUDIO_BACKEND.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/audio_system/audio_system.hpp"
#include "platform/common/result.hpp"

namespace pellimar {
class RunLoop;
}

namespace pellimar::audio {

// Audio Queue Services result codes.
constexpr Status kAudioQueueErr_InvalidBuffer = -66687;
constexpr Status kAudioQueueErr_BufferEmpty = -66686;
constexpr Status kAudioQueueErr_DisposalPending = -66685;
constexpr Status kAudioQueueErr_InvalidProperty = -66684;
constexpr Status kAudioQueueErr_InvalidPropertySize = -66683;
constexpr Status kAudioQueueErr_InvalidParameter = -66682;
constexpr Status kAudioQueueErr_CannotStart = -66681;
constexpr Status kAudioQueueErr_InvalidDevice = -66680;
constexpr Status kAudioQueueErr_BufferInQueue = -66679;
constexpr Status kAudioQueueErr_InvalidRunState = -66678;
constexpr Status kAudioFormatUnsupportedDataFormatError = Status(fourCharCode("fmt?"));

struct AudioQueueBuffer {
    std::uint32_t mAudioDataBytesCapacity = 0;
    void* mAudioData = nullptr;
    std::uint32_t mAudioDataByteSize = 0;
};
using AudioQueueBufferRef = AudioQueueBuffer*;

class OutputQueue;

// What a running queue has seen of its output, for the log.
struct OutputQueueStatistics {
    std::uint32_t quantumFrames = 0;  // frames the graph asks for per cycle; 0 while unknown
    std::uint64_t underruns = 0;      // cycles the output ran dry while it played
};

// Receives the queue and a buffer that has been played and is the caller's again.
using OutputCallback = std::function<void(OutputQueue& queue, AudioQueueBufferRef buffer)>;

struct OutputQueueOptions {
    AudioStreamBasicDescription format;
    OutputCallback callback;
    // nullptr: callbacks arrive on the queue's own thread. Otherwise they are posted to this loop
    // and run on its thread; the loop must outlive the queue.
    RunLoop* callbackLoop = nullptr;
    // The process is listed under this identifier while the queue exists.
    std::string bundleID;
    // How mixers show the stream (PipeWire's application.name, media.name, media.role and
    // application.icon-name); empty ones are left to the backend.
    struct Labels {
        std::string application;
        std::string media;
        std::string role;
        std::string icon;
    } labels;
};

// One output stream. Destroying it is AudioQueueDispose(immediate): playback stops, the thread
// is joined, the buffers are freed, and no callback runs afterwards. Must not be destroyed from
// inside its own callback.
class OutputQueue {
  public:
    virtual ~OutputQueue() = default;

    // AudioQueueAllocateBuffer: the buffer belongs to the queue and lives as long as it does.
    virtual Status allocateBuffer(std::uint32_t capacity, AudioQueueBufferRef& outBuffer) = 0;
    // AudioQueueEnqueueBuffer: plays mAudioDataByteSize bytes (whole frames) after what is queued.
    virtual Status enqueueBuffer(AudioQueueBufferRef buffer) = 0;
    // AudioQueueStart, as soon as possible.
    virtual Status start() = 0;
    // AudioQueueStop. Immediate: queued audio is discarded and no callback runs once this
    // returns (unless called from the callback itself). Otherwise the queue plays out what it
    // holds, handing each buffer back, then stops running.
    virtual Status stop(bool immediate) = 0;
    // kAudioQueueProperty_IsRunning
    virtual Status getIsRunning(std::uint32_t& outRunning) = 0;
    // kAudioQueueProperty_CurrentDevice, by device UID.
    virtual Status setCurrentDevice(const std::string& deviceUID) = 0;
    virtual const AudioStreamBasicDescription& format() const = 0;
    // Safe from any thread; counted on the data thread with atomics only.
    virtual OutputQueueStatistics statistics() const { return {}; }
};

// AudioQueueNewOutput. Only packed interleaved linear PCM (16-bit integer or 32-bit float) is
// accepted. The system is used to register the process; it must outlive the queue.
Result<std::unique_ptr<OutputQueue>, Status> newOutputQueue(AudioSystem& system,
                                                            OutputQueueOptions options);

}  // namespace pellimar::audio
