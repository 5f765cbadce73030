#include "announcement_player/warm_output.hpp"

#include <algorithm>
#include <cstring>

#include "announcement_player/output_device.hpp"
#include "platform/audio_queue/queue_log.hpp"
#include "platform/device_queries/device_queries.hpp"

namespace pellimar::announcement {

using namespace audio;

namespace {

AnnouncementEvent errorEvent(const std::string& id, const std::string& message) {
    return {AnnouncementEvent::Kind::error, id, 0, false, message};
}

}  // namespace

WarmAnnouncementOutput::WarmAnnouncementOutput(AudioSystem& system, RunLoop& loop,
                                               AnnouncementTapWait& tapWait)
    : system_(system), loop_(loop), tapWait_(tapWait) {}

WarmAnnouncementOutput::~WarmAnnouncementOutput() {
    *alive_ = false;
    loadWait_.reset();
    watchTimer_.reset();
    close();
    if (worker_.joinable()) {
        worker_.join();
    }
}

PlayerResult<std::unique_ptr<WarmAnnouncementOutput>> WarmAnnouncementOutput::create(
    AudioSystem& system, RunLoop& loop, AnnouncementTapWait& tapWait) {
    std::unique_ptr<WarmAnnouncementOutput> output(
        new WarmAnnouncementOutput(system, loop, tapWait));
    OutputQueueOptions options;
    options.format = packedPcmFormat(48000.0, 2, SampleType::float32);
    options.callbackLoop = &loop;
    options.bundleID = kBundleID;
    options.labels = kStreamLabels;
    options.callback = [self = output.get()](OutputQueue&, AudioQueueBufferRef buffer) {
        self->fill(buffer);
    };
    auto queue = newOutputQueue(system, std::move(options));
    if (!queue) {
        return fail(
            PlayerError::playback(withStatus("Warm audio queue creation failed", queue.error())));
    }
    output->queue_ = std::move(queue).value();
    const ObjectID movedTo = preferStereoOutputDevice(system, *output->queue_);

    for (int i = 0; i < bufferCount; ++i) {
        AudioQueueBufferRef buffer = nullptr;
        const Status status = output->queue_->allocateBuffer(bufferFrames * 8, buffer);
        if (status != 0 || !buffer) {
            return fail(
                PlayerError::playback(withStatus("Warm audio buffer allocation failed", status)));
        }
        if (const Status status = output->refill(buffer); status != 0) {
            return fail(PlayerError::playback(withStatus("Warm audio enqueue failed", status)));
        }
    }
    if (const Status status = output->queue_->start(); status != 0) {
        return fail(PlayerError::playback(withStatus("Warm audio start failed", status)));
    }
    if (programLog().wants(LogLevel::info)) {
        programLog().write(LogLevel::info, outputDescription(system, movedTo, *output->queue_,
                                                             bufferCount, bufferFrames));
        output->watchTimer_ =
            loop.scheduleRepeating(std::chrono::seconds(1), [self = output.get()] {
                if (self->queue_) {
                    self->watch_.check(self->queue_->statistics(), programLog());
                }
            });
    }
    return output;
}

void WarmAnnouncementOutput::send(const AnnouncementEvent& event) {
    if (emit) {
        emit(event);
    }
}

void WarmAnnouncementOutput::fill(AudioQueueBufferRef buffer) {
    if (!queue_) {
        return;
    }
    if (const Status status = refill(buffer); status != 0) {
        const std::string message = withStatus("Warm audio enqueue failed", status);
        // The controller hears of it on the socket; whoever reads the log, in its one line.
        programLog().write(LogLevel::error, message);
        send(errorEvent(activeID_.value_or(""), message));
        queue_->stop(true);
        // The queue cannot be disposed of from inside its own callback; the owner does that.
        if (onFatal) {
            onFatal(1);
        }
    }
}

Status WarmAnnouncementOutput::refill(AudioQueueBufferRef buffer) {
    if (endBuffer_ == buffer && activeID_) {
        const std::string id = *activeID_;
        endBuffer_ = nullptr;
        activeID_.reset();
        playingSamples_ = Samples();
        send({AnnouncementEvent::Kind::completed, id, 0, stopping_, {}});
        stopping_ = false;
    }
    auto* data = static_cast<float*>(buffer->mAudioData);
    constexpr std::size_t kSamples = bufferFrames * 2;
    std::fill(data, data + kSamples, 0.0f);
    std::size_t copied = 0;
    if (activeID_ && !endBuffer_) {
        copied = std::min(kSamples, playingSamples_.size() - cursor_);
        if (copied >= 1) {
            std::memcpy(data, playingSamples_.data() + cursor_, copied * sizeof(float));
            cursor_ += copied;
        }
        if (cursor_ == playingSamples_.size()) {
            endBuffer_ = buffer;
        }
    }
    // The last frame handed to the queue: where a stop ramp must start so it joins what is
    // actually heard (silence once a clip has ended, not the clip's last sample).
    if (copied == kSamples) {
        lastLeft_ = data[kSamples - 2];
        lastRight_ = data[kSamples - 1];
    } else {
        lastLeft_ = lastRight_ = 0.0f;
    }
    buffer->mAudioDataByteSize = bufferFrames * 8;
    return queue_->enqueueBuffer(buffer);
}

void WarmAnnouncementOutput::close() {
    if (!queue_) {
        return;
    }
    queue_->stop(true);
    queue_.reset();
}

void WarmAnnouncementOutput::command(const AnnouncementCommand& command) {
    const std::string& id = command.id;
    const std::optional<std::string>& name = command.name;
    if (name == "load") {
        const auto& path = command.filePath;
        if (id.empty() || activeID_ || loading_ || !path || !path->starts_with("/")) {
            send(errorEvent(id, kLoadRefused));
            return;
        }
        load(id, *path);
    } else if (name == "play") {
        const auto& clip = command.clip;
        if (id.empty() || activeID_ || loading_ || !clip || clip != loadedID_ || loaded_.empty()) {
            send(errorEvent(id, kPlayRefused));
            return;
        }
        activeID_ = id;
        cursor_ = 0;
        stopping_ = false;
        endBuffer_ = nullptr;
        playingSamples_ = std::move(loaded_);
        loaded_ = Samples();
        loadedID_.reset();
        send({AnnouncementEvent::Kind::playing, id, 0, false, {}});
    } else if (name == "stop") {
        const auto& target = command.target;
        if (!target || target != activeID_ || endBuffer_ || stopping_) {
            return;
        }
        stopping_ = true;
        cursor_ = 0;
        Samples ramp(kStopRampFrames * 2);
        for (int i = 0; i < kStopRampFrames; ++i) {
            const float gain = 1.0f - float(i + 1) / float(kStopRampFrames);
            ramp[2 * i] = lastLeft_ * gain;
            ramp[2 * i + 1] = lastRight_ * gain;
        }
        playingSamples_ = std::move(ramp);
    } else {
        send(errorEvent(id, kUnknownCommand));
    }
}

void WarmAnnouncementOutput::load(const std::string& id, const std::string& path) {
    loading_ = true;
    if (worker_.joinable()) {
        worker_.join();  // the previous worker has already handed its result back
    }
    worker_ = std::thread([this, id, path, alive = std::weak_ptr<bool>(alive_)] {
        auto result = reader(path);
        // The output joins this thread before it goes, so the loop is still there.
        loop_.post([this, id, alive,
                    result = std::make_shared<PlayerResult<Samples>>(std::move(result))]() mutable {
            const auto token = alive.lock();
            if (token && *token) {
                loadRead(id, std::move(*result));
            }
        });
    });
}

void WarmAnnouncementOutput::loadRead(const std::string& id, PlayerResult<Samples> result) {
    if (!result) {
        loadFinished(id, fail(std::move(result).error()));
        return;
    }
    pending_ = std::move(result).value();
    if (!system_.supportsProcessTaps()) {
        loadFinished(id, {});
        return;
    }
    // The load stays in progress through the wait: a second load or a play arriving meanwhile is
    // refused rather than overwritten, and no clip can start before this one is prepared.
    loadWait_ = tapWait_.wait(
        [this, id](PlayerResult<void> attached) { loadFinished(id, std::move(attached)); });
}

void WarmAnnouncementOutput::loadFinished(const std::string& id, PlayerResult<void> outcome) {
    loading_ = false;
    if (!outcome) {
        pending_ = Samples();
        loaded_ = Samples();
        loadedID_.reset();
        send(errorEvent(id, outcome.error().description()));
        return;
    }
    loaded_ = std::move(pending_);
    pending_ = Samples();
    loadedID_ = id;
    send({AnnouncementEvent::Kind::loaded, id, loaded_.size() / 2, false, {}});
}

}  // namespace pellimar::announcement
