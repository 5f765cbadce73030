#pragma once
// Plays one audio file once through an output queue in stereo float at the file's own rate, with
// a stepped fade-in at the start and a stepped fade-out that ends with the file.
//
// The fades are laid out on the file's timeline rather than applied by the wall clock: each
// buffer carries the volume for the moment it will be heard, so the first buffer heard is at the
// fade-in's start volume (0) and the last one at the fade-out's end volume (0), however far ahead
// the queue is filled. Both fades move in 20 steps, one volume per buffer.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "announcement_player/player_error.hpp"
#include "platform/audio_file/audio_file.hpp"
#include "platform/audio_queue/audio_queue.hpp"

namespace pellimar::announcement {

inline constexpr const char* kDefaultBufferLog = "/tmp/pellimar-player-stereo.log";

struct Fades {
    double inSeconds = 0;
    double outSeconds = 0;
};

// The volume of a buffer of frames [first, first + frames) of a file of `length` frames.
float fadeVolume(const Fades& fades, double rate, std::int64_t length, std::int64_t first,
                 std::int64_t frames);

class StereoFilePlayer {
  public:
    static constexpr int bufferCount = 3;
    static constexpr std::uint32_t bufferFrames = 4096;

    // Opens the file, creates the queue (on the preferred stereo device) and primes it with three
    // buffers; does not start it. A failure releases whatever was built. `logPath` receives the
    // first-buffer line.
    static PlayerResult<std::unique_ptr<StereoFilePlayer>> create(
        audio::AudioSystem& system, const std::string& path, Fades fades,
        std::string logPath = kDefaultBufferLog);
    ~StereoFilePlayer();
    StereoFilePlayer(const StereoFilePlayer&) = delete;
    StereoFilePlayer& operator=(const StereoFilePlayer&) = delete;

    // Starts the queue. With a fade-in it returns once the fade-in has been heard, or at once
    // when the player is stopped meanwhile.
    PlayerResult<void> play();
    double duration() const { return durationSeconds_; }
    // Safe from any thread, concurrently with play and isPlaying, any number of times: the
    // queue is stopped and disposed of once.
    bool isPlaying();
    void stop();
    // Once playback has ended: whether the output went away under it (its audio server was
    // lost), which ends the run with an error instead of as a finished file.
    PlayerResult<void> outcome() const;
    // The queue's quantum and underruns so far, for the log; from the caller's thread.
    audio::OutputQueueStatistics outputStatistics();

  private:
    StereoFilePlayer(std::unique_ptr<audio::AudioFile> file, Fades fades, std::string logPath);
    PlayerResult<void> enqueue(audio::OutputQueue& queue, audio::AudioQueueBufferRef buffer);
    void logFirstBuffer(const float* samples, std::uint32_t frames);

    std::unique_ptr<audio::AudioFile> audioFile_;  // read on the queue's thread while it runs
    // Guards queue_ against a signal's stop racing play, isPlaying or the final stop. The
    // queue's own thread never takes it.
    std::mutex queueLock_;
    std::unique_ptr<audio::OutputQueue> queue_;
    std::atomic<bool> isStopped_{false};
    std::atomic<bool> playing_{false};
    std::atomic<bool> draining_{false};
    std::atomic<audio::Status> lostOutput_{0};  // the refused enqueue's status
    bool didLogBufferStats_ = false;            // queue's thread (or the constructor) only
    double durationSeconds_ = 0;
    double sampleRate_ = 48000;
    std::int64_t lengthFrames_ = 0;
    std::int64_t framesRead_ = 0;  // queue's thread (or the constructor) only
    int buffersQueued_ = 0;
    Fades fades_;
    std::string logPath_;
    std::mutex wakeLock_;
    std::condition_variable wake_;
};

}  // namespace pellimar::announcement
