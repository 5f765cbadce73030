#include "platform/audio_queue/audio_queue.hpp"

#include "platform/pipewire/output_queue.hpp"
#include "platform/sim/output_queue.hpp"

namespace pellimar::audio {
namespace {

bool supportedFormat(const AudioStreamBasicDescription& f) {
    if (f.mFormatID != kAudioFormatLinearPCM || !(f.mSampleRate > 0) || f.mSampleRate > 1'000'000 ||
        f.mChannelsPerFrame == 0 || f.mChannelsPerFrame > 64 || f.mFramesPerPacket != 1 ||
        !(f.mFormatFlags & kAudioFormatFlagIsPacked) ||
        (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved)) {
        return false;
    }
    const bool int16 =
        (f.mFormatFlags & kAudioFormatFlagIsSignedInteger) && f.mBitsPerChannel == 16;
    const bool float32 = (f.mFormatFlags & kAudioFormatFlagIsFloat) && f.mBitsPerChannel == 32;
    if (!int16 && !float32) {
        return false;
    }
    const std::uint32_t frameBytes = f.mChannelsPerFrame * f.mBitsPerChannel / 8;
    return f.mBytesPerFrame == frameBytes && f.mBytesPerPacket == frameBytes;
}

}  // namespace

// The queue follows the audio system it is made with: a PipeWire system plays through PipeWire.
Result<std::unique_ptr<OutputQueue>, Status> newOutputQueue(AudioSystem& system,
                                                            OutputQueueOptions options) {
    if (!options.callback) {
        return fail(kAudioQueueErr_InvalidParameter);
    }
    if (!supportedFormat(options.format)) {
        return fail(kAudioFormatUnsupportedDataFormatError);
    }
    if (auto* pipewireSystem = dynamic_cast<pipewire::PipeWireAudioSystem*>(&system)) {
        return newPipeWireOutputQueue(*pipewireSystem, std::move(options));
    }
    return newSimOutputQueue(system, std::move(options));
}

}  // namespace pellimar::audio
