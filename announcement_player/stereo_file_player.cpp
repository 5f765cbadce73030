#include "announcement_player/stereo_file_player.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <vector>

#include "announcement_player/output_device.hpp"
#include "platform/audio_queue/queue_log.hpp"
#include "platform/common/atomic_file.hpp"
#include "platform/device_queries/device_queries.hpp"

namespace pellimar::announcement {

using namespace audio;

namespace {

// The shortest text that reads back as the same float, always with a fraction or an exponent.
std::string floatText(float value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    std::string s(text, end);
    if (s.find_first_of(".en") == std::string::npos) {
        s += ".0";
    }
    return s;
}

// Step k of 20 of a fade of `length` frames at `position` frames into it.
int fadeStep(double position, double length) {
    if (position <= 0) {
        return 0;
    }
    return int(std::min(20.0, std::floor(position / (length / 20.0))));
}

}  // namespace

float fadeVolume(const Fades& fades, double rate, std::int64_t length, std::int64_t first,
                 std::int64_t frames) {
    float volume = 1.0f;
    // The fade-in is judged where the buffer starts, so the first buffer heard is silent.
    if (fades.inSeconds > 0) {
        volume = float(fadeStep(double(first), fades.inSeconds * rate)) / 20.0f;
    }
    // The fade-out where it ends, so the buffer that ends the file is at step 20: silent.
    if (fades.outSeconds > 0) {
        // A fade-out longer than the file spans the file, so that it still ends silent.
        const double outFrames = std::min(fades.outSeconds * rate, double(length));
        const double start = std::max(0.0, double(length) - outFrames);
        const double into = double(first + frames) - start;
        if (into > 0) {
            volume *= 1.0f - float(fadeStep(into, outFrames)) / 20.0f;
        }
    }
    return volume;
}

StereoFilePlayer::StereoFilePlayer(std::unique_ptr<AudioFile> file, Fades fades,
                                   std::string logPath)
    : audioFile_(std::move(file)), fades_(fades), logPath_(std::move(logPath)) {}

StereoFilePlayer::~StereoFilePlayer() {
    stop();
}

PlayerResult<std::unique_ptr<StereoFilePlayer>> StereoFilePlayer::create(AudioSystem& system,
                                                                         const std::string& path,
                                                                         Fades fades,
                                                                         std::string logPath) {
    auto file = openAudioFile(path);
    if (!file) {
        return fail(PlayerError::playback(withStatus("Unable to open audio file", file.error())));
    }
    // Owned from here on, so every failure below releases the file and the queue.
    std::unique_ptr<StereoFilePlayer> player(
        new StereoFilePlayer(std::move(file).value(), fades, std::move(logPath)));
    AudioStreamBasicDescription fileFormat;
    if (const Status s = player->audioFile_->getFileDataFormat(fileFormat); s != 0) {
        return fail(PlayerError::playback(withStatus("Unable to read file format", s)));
    }
    std::int64_t length = 0;
    if (const Status s = player->audioFile_->getFileLengthFrames(length); s != 0) {
        return fail(PlayerError::playback(withStatus("Unable to read file length", s)));
    }
    player->sampleRate_ = fileFormat.mSampleRate > 0 ? fileFormat.mSampleRate : 48000.0;
    player->lengthFrames_ = length;
    player->durationSeconds_ = double(length) / player->sampleRate_;

    const AudioStreamBasicDescription client =
        packedPcmFormat(player->sampleRate_, 2, SampleType::float32);
    if (const Status s = player->audioFile_->setClientDataFormat(client); s != 0) {
        return fail(PlayerError::playback(withStatus("Unable to set stereo client format", s)));
    }

    OutputQueueOptions options;
    options.format = client;
    options.bundleID = kBundleID;
    options.labels = kStreamLabels;
    options.callback = [self = player.get()](OutputQueue& queue, AudioQueueBufferRef buffer) {
        if (!self->enqueue(queue, buffer)) {
            self->playing_ = false;
        }
    };
    auto queue = newOutputQueue(system, std::move(options));
    if (!queue) {
        return fail(
            PlayerError::playback(withStatus("Unable to create audio queue", queue.error())));
    }
    player->queue_ = std::move(queue).value();
    const ObjectID movedTo = preferStereoOutputDevice(system, *player->queue_);

    for (int i = 0; i < bufferCount; ++i) {
        AudioQueueBufferRef buffer = nullptr;
        const Status s = player->queue_->allocateBuffer(bufferFrames * 8, buffer);
        if (s != 0 || !buffer) {
            return fail(PlayerError::playback(withStatus("Unable to allocate audio buffer", s)));
        }
        if (auto queued = player->enqueue(*player->queue_, buffer); !queued) {
            return fail(std::move(queued).error());
        }
    }
    programLog().write(LogLevel::info,
                       "AudioQueue stereo 2ch interleaved @ " +
                           std::to_string(static_cast<long long>(player->sampleRate_)) + " Hz");
    if (programLog().wants(LogLevel::info)) {
        programLog().write(LogLevel::info, outputDescription(system, movedTo, *player->queue_,
                                                             bufferCount, bufferFrames));
    }
    return player;
}

PlayerResult<void> StereoFilePlayer::enqueue(OutputQueue& queue, AudioQueueBufferRef buffer) {
    if (isStopped_ || !audioFile_) {
        playing_ = false;
        return {};
    }
    auto* data = static_cast<float*>(buffer->mAudioData);
    std::uint32_t frames = bufferFrames;
    if (const Status s = audioFile_->read(frames, data); s != 0) {
        return fail(PlayerError::playback(withStatus("ExtAudioFileRead failed", s)));
    }
    if (frames == 0) {
        if (playing_ && !draining_.exchange(true)) {
            queue.stop(false);
        }
        buffer->mAudioDataByteSize = 0;
        return {};
    }
    if (!didLogBufferStats_) {
        didLogBufferStats_ = true;
        logFirstBuffer(data, frames);
    }
    const float volume = fadeVolume(fades_, sampleRate_, lengthFrames_, framesRead_, frames);
    framesRead_ += frames;
    if (volume != 1.0f) {
        for (std::uint32_t i = 0; i < frames * 2; ++i) {
            data[i] *= volume;
        }
    }
    buffer->mAudioDataByteSize = frames * 8;
    if (const Status s = queue.enqueueBuffer(buffer); s != 0) {
        if (s == kAudioHardwareNotRunningError) {
            lostOutput_ = s;
        }
        return fail(PlayerError::playback(withStatus("AudioQueueEnqueueBuffer failed", s)));
    }
    ++buffersQueued_;
    return {};
}

void StereoFilePlayer::logFirstBuffer(const float* samples, std::uint32_t frames) {
    float left = 0, right = 0;
    for (std::uint32_t i = 0; i < frames; ++i) {
        left = std::max(left, std::fabs(samples[2 * i]));
        right = std::max(right, std::fabs(samples[2 * i + 1]));
    }
    const std::string text = "first buffer Lmax=" + floatText(left) + " Rmax=" + floatText(right) +
                             " frames=" + std::to_string(frames);
    programLog().write(LogLevel::info, text);
    replaceFileAtomically(logPath_, "[announcement-player] " + text + "\n");
}

PlayerResult<void> StereoFilePlayer::play() {
    std::unique_lock queueGuard(queueLock_);
    if (!queue_) {
        return fail(PlayerError::playback("Audio queue is not available."));
    }
    if (buffersQueued_ == 0) {
        // A file without frames: nothing to play, and nothing would ever end the playback.
        return {};
    }
    playing_ = true;
    if (const Status s = queue_->start(); s != 0) {
        playing_ = false;
        return fail(PlayerError::playback(withStatus("AudioQueueStart failed", s)));
    }
    queueGuard.unlock();
    if (fades_.inSeconds > 0) {
        // The fade-in itself is laid out on the file's timeline; waiting here keeps the caller's
        // timeline, and a stop ends the wait at once.
        std::unique_lock lock(wakeLock_);
        wake_.wait_for(lock, std::chrono::duration<double>(fades_.inSeconds),
                       [this] { return isStopped_.load(); });
    }
    return {};
}

bool StereoFilePlayer::isPlaying() {
    if (isStopped_ || !playing_) {
        return false;
    }
    std::lock_guard queueGuard(queueLock_);
    if (!queue_) {
        return false;
    }
    if (draining_) {
        std::uint32_t running = 0;
        return queue_->getIsRunning(running) == 0 && running != 0;
    }
    return true;
}

OutputQueueStatistics StereoFilePlayer::outputStatistics() {
    std::lock_guard queueGuard(queueLock_);
    return queue_ ? queue_->statistics() : OutputQueueStatistics{};
}

PlayerResult<void> StereoFilePlayer::outcome() const {
    if (const Status s = lostOutput_; s != 0) {
        return fail(PlayerError::playback(withStatus("AudioQueueEnqueueBuffer failed", s)));
    }
    return {};
}

void StereoFilePlayer::stop() {
    {
        std::lock_guard lock(wakeLock_);
        isStopped_ = true;
    }
    wake_.notify_all();
    playing_ = false;
    std::unique_ptr<OutputQueue> queue;
    {
        std::lock_guard queueGuard(queueLock_);
        queue = std::move(queue_);
    }
    if (queue) {
        queue->stop(true);  // joins the queue's thread: no callback reads the file after this
        queue.reset();
        // Only the caller that disposed of the queue closes the file; a concurrent second stop
        // finds no queue and leaves both alone.
        audioFile_.reset();
    }
}

}  // namespace pellimar::announcement
