#include "player/stereo_pcm_queue_player.hpp"

#include <algorithm>
#include <cstring>

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
      pendingLimit_(std::max<std::size_t>(options.pendingLimit, 4)),
      mediaName_(std::move(options.mediaName)) {
    clientFormat_.mSampleRate = options.sampleRate;
    clientFormat_.mFormatID = kAudioFormatLinearPCM;
    clientFormat_.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    clientFormat_.mBytesPerPacket = 4;
    clientFormat_.mFramesPerPacket = 1;
    clientFormat_.mBytesPerFrame = 4;
    clientFormat_.mChannelsPerFrame = 2;
    clientFormat_.mBitsPerChannel = 16;
    clientFormat_.mReserved = 0;
}

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
    preferLocalCaptureClockForAirPlay(*system_, *queue);
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
        std::memset(data, 0, capacity);
        buffer->mAudioDataByteSize = std::min<std::uint32_t>(capacity, 16384);
        queue.enqueueBuffer(buffer);
    }
}

void StereoPcmQueuePlayer::preferLocalCaptureClockForAirPlay(AudioSystem& system,
                                                             OutputQueue& queue) {
    std::uint32_t size = 0;
    const AudioObjectPropertyAddress devicesAddress{kAudioHardwarePropertyDevices};
    if (system.getPropertyDataSize(kAudioObjectSystemObject, devicesAddress, 0, nullptr, size) !=
        0) {
        return;
    }
    std::vector<ObjectID> devices(size / sizeof(ObjectID));
    size = std::uint32_t(devices.size() * sizeof(ObjectID));
    if (system.getPropertyData(kAudioObjectSystemObject, devicesAddress, 0, nullptr, size,
                               devices.data()) != 0) {
        return;
    }
    devices.resize(size / sizeof(ObjectID));

    ObjectID defaultOutput = 0;
    std::uint32_t idSize = sizeof(defaultOutput);
    if (system.getPropertyData(kAudioObjectSystemObject,
                               {kAudioHardwarePropertyDefaultOutputDevice}, 0, nullptr, idSize,
                               &defaultOutput) != 0) {
        defaultOutput = 0;
    }
    auto transportOf = [&](ObjectID device, std::uint32_t& transport) {
        std::uint32_t transportSize = sizeof(transport);
        return system.getPropertyData(device, {kAudioDevicePropertyTransportType}, 0, nullptr,
                                      transportSize, &transport) == 0;
    };
    std::uint32_t transport = 0;
    if (!transportOf(defaultOutput, transport) || transport != kAudioDeviceTransportTypeAirPlay) {
        return;
    }

    ObjectID choice = kAudioObjectUnknown;
    const AudioObjectPropertyAddress configuration{kAudioDevicePropertyStreamConfiguration,
                                                   kAudioObjectPropertyScopeOutput};
    for (ObjectID device : devices) {
        std::uint32_t listSize = 0;
        if (system.getPropertyDataSize(device, configuration, 0, nullptr, listSize) != 0 ||
            listSize == 0) {
            continue;
        }
        // 8-byte aligned storage for the buffer list's pointers.
        std::vector<std::uint64_t> storage((listSize + 7) / 8);
        if (system.getPropertyData(device, configuration, 0, nullptr, listSize, storage.data()) !=
            0) {
            continue;
        }
        const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
        std::uint64_t channels = 0;
        const std::uint32_t fitting = listSize < 8 ? 0 : (listSize - 8) / sizeof(AudioBuffer);
        for (std::uint32_t i = 0; i < std::min(list->mNumberBuffers, fitting); ++i) {
            channels += list->mBuffers[i].mNumberChannels;
        }
        std::uint32_t deviceTransport = 0;
        if (channels != 2 || !transportOf(device, deviceTransport) ||
            deviceTransport != kAudioDeviceTransportTypeBuiltIn) {
            continue;
        }
        choice = device;
        break;
    }
    if (choice == kAudioObjectUnknown) {
        return;
    }
    std::optional<std::string> uid;
    if (system.getStringProperty(choice, {kAudioDevicePropertyDeviceUID}, uid) != 0 || !uid) {
        return;
    }
    const Status status = queue.setCurrentDevice(*uid);
    if (status != 0) {
        logLine("AudioQueue device select status " + std::to_string(status));
        return;
    }
    std::optional<std::string> name;
    if (system.getStringProperty(choice, {kAudioObjectPropertyName}, name) != 0) {
        name.reset();
    }
    logLine("Using output device " + std::to_string(choice) + " (" + name.value_or("") + ")");
}

}  // namespace pellimar::player
