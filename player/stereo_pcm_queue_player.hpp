#pragma once
// Plays a growing buffer of interleaved stereo 16-bit PCM on an output queue, with the gain
// control over every real chunk, silence while starved and a play-out at the end of input.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio_queue/audio_queue.hpp"
#include "platform/audio_system/audio_system.hpp"
#include "platform/common/player_error.hpp"
#include "player/native_agc.hpp"

namespace pellimar::player {

inline constexpr const char* kPlayerBundleID = "org.pellimar.player.4";

using AudioSystemOpener = std::function<Result<std::unique_ptr<audio::AudioSystem>, std::string>()>;

class StereoPcmQueuePlayer {
  public:
    // About 5.5 s of audio: enough to ride out a slow network, small enough that a long local
    // file is never held in memory; the decoder waits on its pipe meanwhile.
    static constexpr std::size_t kDefaultPendingLimit = 1 << 20;
    static constexpr int kBufferCount = 4;
    static constexpr std::uint32_t kBufferFrames = 4096;

    struct Options {
        double sampleRate = 48000;
        Environment environment = processEnvironment();
        AudioSystemOpener openSystem;
        std::size_t pendingLimit = kDefaultPendingLimit;
        std::string mediaName;  // what mixers show the stream as
    };

    explicit StereoPcmQueuePlayer(Options options);
    ~StereoPcmQueuePlayer();
    StereoPcmQueuePlayer(const StereoPcmQueuePlayer&) = delete;
    StereoPcmQueuePlayer& operator=(const StereoPcmQueuePlayer&) = delete;

    NativeAgc& agc() { return agc_; }
    const audio::AudioStreamBasicDescription& clientFormat() const { return clientFormat_; }

    std::int64_t bufferedBytes();
    // Blocks while the pending buffer is full, until the queue has taken bytes or the player was
    // stopped; after a stop, bytes beyond the limit are dropped instead.
    void append(const std::uint8_t* data, std::size_t size);
    void markEnd();

    PlayerResult<void> play();
    // Safe from any thread, any number of times; the queue is stopped and disposed once.
    void stop();
    bool isPlaying();
    // Whether the queue stopped running by itself while the player was still feeding it (its
    // audio server went away): nothing is heard any more, though isPlaying() stays true.
    bool outputStopped();
    // The queue's quantum and underruns so far, for the log; not from the queue's thread.
    audio::OutputQueueStatistics outputStatistics();
    // Buffers played as silence because the decoder had not delivered in time.
    std::uint64_t starvedBuffers() const { return starvedBuffers_.load(); }

    // Moves the queue to a built-in stereo device when the system output is AirPlay; the device
    // it was moved to, 0 when it stays on the system default.
    static audio::ObjectID preferLocalCaptureClockForAirPlay(audio::AudioSystem& system,
                                                             audio::OutputQueue& queue);

  private:
    void enqueueFromPending(audio::AudioQueueBufferRef buffer, audio::OutputQueue& queue);

    NativeAgc agc_;
    AudioSystemOpener openSystem_;
    std::unique_ptr<audio::AudioSystem> system_;  // outlives queue_

    // Guards queue_ (and system_) against a signal's stop racing play or the final stop. The
    // queue's own thread never takes it.
    std::mutex queueLock_;
    std::unique_ptr<audio::OutputQueue> queue_;

    std::atomic<bool> isStopped_{false};
    std::atomic<bool> playing_{false};
    std::atomic<bool> draining_{false};
    audio::AudioStreamBasicDescription clientFormat_;
    const std::size_t pendingLimit_;
    const std::string mediaName_;

    std::mutex lock_;  // guards the pending bytes and inputEnded_
    std::condition_variable space_;
    std::vector<std::uint8_t> pending_;
    std::size_t pendingHead_ = 0;
    bool inputEnded_ = false;
    std::atomic<std::uint64_t> starvedBuffers_{0};  // counted on the queue's thread
};

}  // namespace pellimar::player
