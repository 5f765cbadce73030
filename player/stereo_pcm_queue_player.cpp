#include "player/stereo_pcm_queue_player.hpp"

#include <algorithm>
#include <cstring>

#include "platform/audio_queue/queue_log.hpp"
#include "platform/device_queries/device_queries.hpp"
#include "player/log.hpp"

namespace pellimar::player {

using namespace pellimar::audio;

namespace {

std::string failedWith(const char* operation, Status status) {
    return std::string(operation) + " failed (" + std::to_string(status) + ").";
}

}  // namespace

StereoPcmQueuePlayer::StereoPcmQueuePlayer(Options options)
    : agc_(std::move(options.environment)),
      openSystem_(std::move(options.openSystem)),
      clientFormat_(packedPcmFormat(options.sampleRate, 2, SampleType::int16)),
      pendingLimit_(std::max<std::size_t>(options.pendingLimit, 4)),
      mediaName_(std::move(options.mediaName)) {}

StereoPcmQueuePlayer::~StereoPcmQueuePlayer() {
    stop();
}

std::int64_t StereoPcmQueuePlayer::bufferedBytes() {
    std::lock_guard guard(lock_);
    return std::int64_t(pending_.size() - pendingHead_);
}

void StereoPcmQueuePlayer::append(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    std::unique_lock guard(lock_);
    space_.wait(guard,
                [&] { return pending_.size() - pendingHead_ < pendingLimit_ || isStopped_; });
    if (pending_.size() - pendingHead_ >= pendingLimit_) {
        return;  // stopped: nobody will play these bytes
    }
    if (pendingHead_ > 0 && pendingHead_ >= pending_.size() / 2) {
        pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(pendingHead_));
        pendingHead_ = 0;
    }
    pending_.insert(pending_.end(), data, data + size);
}

void StereoPcmQueuePlayer::markEnd() {
    std::lock_guard guard(lock_);
    inputEnded_ = true;
}

PlayerResult<void> StereoPcmQueuePlayer::play() {
    std::lock_guard queueGuard(queueLock_);
    if (!system_) {
        auto system = openSystem_ ? openSystem_()
                                  : Result<std::unique_ptr<AudioSystem>, std::string>(
                                        fail(std::string("no audio system")));
        if (!system) {
            return fail(PlayerError::playback(
                failedWith("AudioQueueNewOutput", kAudioHardwareNotRunningError)));
        }
        system_ = std::move(system).value();
    }
    OutputQueueOptions options;
    options.format = clientFormat_;
    options.callback = [this](OutputQueue& queue, AudioQueueBufferRef buffer) {
        enqueueFromPending(buffer, queue);
    };
    options.bundleID = kPlayerBundleID;
    options.labels = {"Pellimar player", mediaName_, "Music", "multimedia-player"};
    auto created = newOutputQueue(*system_, std::move(options));
    if (!created) {
        return fail(PlayerError::playback(failedWith("AudioQueueNewOutput", created.error())));
    }
    std::unique_ptr<OutputQueue> queue = std::move(created).value();
    const ObjectID movedTo = preferLocalCaptureClockForAirPlay(*system_, *queue);
    if (programLog().wants(LogLevel::info)) {
        programLog().write(LogLevel::info, outputDescription(*system_, movedTo, *queue,
                                                             kBufferCount, kBufferFrames));
    }
    if (queue_) {
        queue_->stop(true);  // a second play replaces the first queue rather than leaking it
    }
    queue_ = std::move(queue);

    const std::uint32_t capacity = kBufferFrames * clientFormat_.mBytesPerFrame;
    for (int i = 0; i < kBufferCount; ++i) {
        AudioQueueBufferRef buffer = nullptr;
        const Status status = queue_->allocateBuffer(capacity, buffer);
        if (status != 0 || !buffer) {
            return fail(PlayerError::playback(failedWith("AudioQueueAllocateBuffer", status)));
        }
        enqueueFromPending(buffer, *queue_);
    }
    // Priming with less than four buffers' worth is the prebuffer's design, not the decoder
    // falling behind.
    starvedBuffers_.store(0, std::memory_order_relaxed);
    playing_ = true;
    if (const Status status = queue_->start(); status != 0) {
        return fail(PlayerError::playback(failedWith("AudioQueueStart", status)));
    }
    if (draining_) {
        queue_->stop(false);
    }
    return {};
}

void StereoPcmQueuePlayer::stop() {
    isStopped_ = true;
    playing_ = false;
    draining_ = false;
    {
        // Wake a producer waiting for room; the lock orders this after its predicate check.
        std::lock_guard guard(lock_);
        space_.notify_all();
    }
    std::lock_guard queueGuard(queueLock_);
    if (queue_) {
        queue_->stop(true);
        queue_.reset();
    }
}

bool StereoPcmQueuePlayer::isPlaying() {
    if (!playing_ || isStopped_) {
        return false;
    }
    if (draining_) {
        std::lock_guard queueGuard(queueLock_);
        std::uint32_t running = 1;
        if (queue_ && queue_->getIsRunning(running) == 0 && running == 0) {
            return false;
        }
    }
    return true;
}

OutputQueueStatistics StereoPcmQueuePlayer::outputStatistics() {
    std::lock_guard queueGuard(queueLock_);
    return queue_ ? queue_->statistics() : OutputQueueStatistics{};
}

bool StereoPcmQueuePlayer::outputStopped() {
    if (!playing_ || isStopped_ || draining_) {
        return false;
    }
    std::lock_guard queueGuard(queueLock_);
    std::uint32_t running = 1;
    return queue_ && queue_->getIsRunning(running) == 0 && running == 0;
}

void StereoPcmQueuePlayer::enqueueFromPending(AudioQueueBufferRef buffer, OutputQueue& queue) {
    const std::uint32_t capacity = buffer->mAudioDataBytesCapacity;
    auto* data = static_cast<std::uint8_t*>(buffer->mAudioData);
    std::size_t take = 0;
    bool ended = false;
    bool empty = false;
    {
        std::lock_guard guard(lock_);
        const std::size_t available = pending_.size() - pendingHead_;
        take = std::min<std::size_t>(available, capacity);
        // Whole frames only: a pipe read may end mid-frame, and the rest of that frame follows.
        take -= take % 4;
        if (take > 0) {
            std::memcpy(data, pending_.data() + pendingHead_, take);
            pendingHead_ += take;
        }
        if (take == 0 && inputEnded_ && available > 0) {
            // A stray partial frame at the very end: play it padded rather than drop it.
            std::memset(data, 0, 4);
            std::memcpy(data, pending_.data() + pendingHead_, available);
            pendingHead_ += available;
            take = 4;
        }
        if (pendingHead_ == pending_.size()) {
            pending_.clear();
            pendingHead_ = 0;
        }
        ended = inputEnded_;
        empty = pending_.empty();
        if (take > 0) {
            space_.notify_all();
        }
    }
    if (take > 0) {
        agc_.process(reinterpret_cast<std::int16_t*>(data), std::int64_t(take / 4));
        buffer->mAudioDataByteSize = std::uint32_t(take);
        queue.enqueueBuffer(buffer);
    } else if (ended && empty) {
        buffer->mAudioDataByteSize = 0;
        draining_ = true;
        if (playing_) {
            queue.stop(false);
        }
    } else {
        starvedBuffers_.fetch_add(1, std::memory_order_relaxed);
        std::memset(data, 0, capacity);
        buffer->mAudioDataByteSize = std::min<std::uint32_t>(capacity, 16384);
        queue.enqueueBuffer(buffer);
    }
}

ObjectID StereoPcmQueuePlayer::preferLocalCaptureClockForAirPlay(AudioSystem& system,
                                                                 OutputQueue& queue) {
    const auto devices = objectList(system, kAudioHardwarePropertyDevices);
    if (!devices) {
        return 0;
    }
    const auto defaultRead = readScalar(system, kAudioObjectSystemObject,
                                        kAudioHardwarePropertyDefaultOutputDevice, ObjectID(0));
    const ObjectID defaultOutput = defaultRead ? *defaultRead : 0;
    auto transportIs = [&](ObjectID device, std::uint32_t wanted) {
        const auto transport =
            readScalar(system, device, kAudioDevicePropertyTransportType, std::uint32_t(0));
        return transport && *transport == wanted;
    };
    if (!transportIs(defaultOutput, kAudioDeviceTransportTypeAirPlay)) {
        return 0;
    }

    ObjectID choice = kAudioObjectUnknown;
    const AudioObjectPropertyAddress configuration{kAudioDevicePropertyStreamConfiguration,
                                                   kAudioObjectPropertyScopeOutput};
    for (ObjectID device : *devices) {
        const auto channels = streamChannelCount(system, device, configuration);
        if (!channels || *channels != 2 || !transportIs(device, kAudioDeviceTransportTypeBuiltIn)) {
            continue;
        }
        choice = device;
        break;
    }
    return moveQueueToDevice(system, queue, choice, programLog());
}

}  // namespace pellimar::player
