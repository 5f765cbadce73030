// The output queue on a PipeWire stream. The stream's process callback runs on the stream's data
// thread (realtime where allowed: a non-realtime loop thread missed cycles on a loaded machine)
// and copies queued buffers into the graph, holding the queue's lock only to copy; played buffers
// go back to the caller from the queue's own thread, or posted from there to the caller's run
// loop.

#include "platform/audio_queue/pipewire/pw_output_queue.hpp"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio_queue/queue_buffers.hpp"
#include "platform/run_loop/run_loop.hpp"

namespace pellimar::audio {
namespace {

using Clock = std::chrono::steady_clock;
using pipewire::Graph;

// How long a running stream may go without being asked for audio before the queue stops waiting
// for the graph: a hang guard for a daemon that stopped or a device left with nothing to drive it.
constexpr auto kStallGuard = std::chrono::seconds(2);

struct Slot {
    AudioQueueBuffer header;
    std::vector<std::uint8_t> storage;
    bool queued = false;
};

// Whether callbacks posted to a run loop may still run (see the simulated queue).
struct Delivery {
    std::atomic<bool> alive{true};
    std::atomic<std::uint64_t> run{0};
};

class PipeWireOutputQueue final : public OutputQueue {
  public:
    PipeWireOutputQueue(std::shared_ptr<Graph> graph, OutputQueueOptions options,
                        std::unique_ptr<ProcessRegistration> registration)
        : graph_(std::move(graph)),
          options_(std::move(options)),
          registration_(std::move(registration)),
          delivery_(std::make_shared<Delivery>()) {
        worker_ = std::thread([this] { work(); });
    }

    ~PipeWireOutputQueue() override {
        stop(true);
        delivery_->alive = false;
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
            wake_.notify_all();
        }
        worker_.join();
        pw_thread_loop_lock(graph_->loop());
        if (stream_) {
            spa_hook_remove(&streamListener_);
            pw_stream_destroy(stream_);
            stream_ = nullptr;
        }
        pw_thread_loop_unlock(graph_->loop());
    }

    // The stream is made inactive with the queue, so that the session manager has linked it by
    // the time the queue starts.
    Status connect() {
        pw_thread_loop_lock(graph_->loop());
        const Status status = connectStream();
        pw_thread_loop_unlock(graph_->loop());
        return status;
    }

    Status allocateBuffer(std::uint32_t capacity, AudioQueueBufferRef& outBuffer) override {
        std::lock_guard lock(mutex_);
        return buffers_.allocate(capacity, outBuffer);
    }

    Status enqueueBuffer(AudioQueueBufferRef buffer) override {
        std::lock_guard lock(mutex_);
        Slot* slot = nullptr;
        if (Status status = buffers_.admit(buffer, options_.format.mBytesPerFrame, slot)) {
            return status;
        }
        fifo_.push_back(slot);
        wake_.notify_all();
        return 0;
    }

    Status start() override {
        {
            std::lock_guard lock(mutex_);
            if (running_ && !draining_) {
                return 0;
            }
            draining_ = false;
            drainIssued_ = false;
            running_ = true;
            lastProcess_ = Clock::now();
            delivery_->run = run_;
        }
        pw_thread_loop_lock(graph_->loop());
        Status status = 0;
        if (!stream_) {
            status = connectStream();
        }
        if (status == 0) {
            pw_stream_set_active(stream_, true);
        }
        pw_thread_loop_unlock(graph_->loop());
        if (status != 0) {
            std::lock_guard lock(mutex_);
            running_ = false;
            return status;
        }
        registration_->setRunning(true);
        return 0;
    }

    Status stop(bool immediate) override {
        std::unique_lock lock(mutex_);
        if (!immediate) {
            if (running_) {
                draining_ = true;
                wake_.notify_all();
            }
            return 0;
        }
        const bool wasRunning = running_;
        ++run_;
        delivery_->run = run_;  // callbacks already posted to a loop are dropped
        running_ = false;
        draining_ = false;
        for (Slot* slot : fifo_) {
            slot->queued = false;
        }
        fifo_.clear();
        done_.clear();
        lock.unlock();
        if (std::this_thread::get_id() != worker_.get_id()) {
            // A callback in progress on the queue's thread finishes before stop returns.
            std::lock_guard calling(callbackMutex_);
        }
        pw_thread_loop_lock(graph_->loop());
        if (stream_) {
            pw_stream_set_active(stream_, false);
        }
        pw_thread_loop_unlock(graph_->loop());
        if (wasRunning) {
            registration_->setRunning(false);
        }
        return 0;
    }

    Status getIsRunning(std::uint32_t& outRunning) override {
        std::lock_guard lock(mutex_);
        // Without its server the queue has stopped, as a queue whose device went away does,
        // even while it plays on by the clock for a caller that waits for its buffers.
        outRunning = running_ && !serverLost_ ? 1 : 0;
        return 0;
    }

    Status setCurrentDevice(const std::string& deviceUID) override {
        {
            std::lock_guard guard(graph_->mutex());
            const auto* node = deviceUID.empty() ? nullptr : graph_->state().nodeByName(deviceUID);
            if (!node ||
                (node->mediaClass() != "Audio/Sink" && node->mediaClass() != "Audio/Duplex")) {
                return kAudioQueueErr_InvalidDevice;
            }
        }
        pw_thread_loop_lock(graph_->loop());
        const bool moved = target_ != deviceUID;
        target_ = deviceUID;
        if (stream_ && moved) {
            // A connected stream moves by connecting again with its new target.
            const bool active = running_now();
            spa_hook_remove(&streamListener_);
            pw_stream_destroy(stream_);
            stream_ = nullptr;
            if (connectStream() == 0) {
                pw_stream_set_active(stream_, active);
            }
        }
        pw_thread_loop_unlock(graph_->loop());
        return 0;
    }

    const AudioStreamBasicDescription& format() const override { return options_.format; }

  private:
    bool running_now() {
        std::lock_guard lock(mutex_);
        return running_;
    }

    // Under the thread loop's lock.
    Status connectStream() {
        const std::string rate = std::to_string(std::uint32_t(options_.format.mSampleRate));
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
            "Music", PW_KEY_NODE_NAME,
            options_.bundleID.empty() ? "pellimar-output" : options_.bundleID.c_str(), nullptr);
        if (!options_.bundleID.empty()) {
            pw_properties_set(props, PW_KEY_APP_ID, options_.bundleID.c_str());
            pw_properties_set(props, PW_KEY_APP_NAME, options_.bundleID.c_str());
        }
        if (!target_.empty()) {
            pw_properties_set(props, PW_KEY_TARGET_OBJECT, target_.c_str());
        }
        stream_ = pw_stream_new(graph_->core(), "pellimar-output", props);
        if (!stream_) {
            return kAudioHardwareNotRunningError;
        }
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = [](void* data) { static_cast<PipeWireOutputQueue*>(data)->process(); };
            e.drained = [](void* data) { static_cast<PipeWireOutputQueue*>(data)->drained(); };
            e.state_changed = [](void* data, pw_stream_state, pw_stream_state state,
                                 const char* error) {
                static_cast<PipeWireOutputQueue*>(data)->stateChanged(state, error);
            };
            return e;
        }();
        pw_stream_add_listener(stream_, &streamListener_, &events, this);

        std::uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_audio_info_raw info{};
        const bool isFloat = options_.format.mFormatFlags & kAudioFormatFlagIsFloat;
        info.format = isFloat ? SPA_AUDIO_FORMAT_F32 : SPA_AUDIO_FORMAT_S16;
        info.rate = std::uint32_t(options_.format.mSampleRate);
        info.channels = options_.format.mChannelsPerFrame;
        if (info.channels == 1) {
            info.position[0] = SPA_AUDIO_CHANNEL_MONO;
        } else if (info.channels == 2) {
            info.position[0] = SPA_AUDIO_CHANNEL_FL;
            info.position[1] = SPA_AUDIO_CHANNEL_FR;
        } else {
            info.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
        }
        const spa_pod* params[1] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        const int result = pw_stream_connect(
            stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                         PW_STREAM_FLAG_INACTIVE | PW_STREAM_FLAG_RT_PROCESS),
            params, 1);
        if (result < 0) {
            spa_hook_remove(&streamListener_);
            pw_stream_destroy(stream_);
            stream_ = nullptr;
            return kAudioHardwareNotRunningError;
        }
        return 0;
    }

    // On the data thread: fills one graph buffer from the queued buffers, silence when starved.
    void process() {
        pw_buffer* b = pw_stream_dequeue_buffer(stream_);
        if (!b) {
            return;
        }
        spa_data& d = b->buffer->datas[0];
        auto* out = static_cast<std::uint8_t*>(d.data);
        const std::uint32_t stride = options_.format.mBytesPerFrame;
        if (!out) {
            pw_stream_queue_buffer(stream_, b);
            return;
        }
        std::uint32_t frames = d.maxsize / stride;
        if (b->requested) {
            frames = std::min<std::uint32_t>(std::uint32_t(b->requested), frames);
        }
        const std::uint32_t want = frames * stride;
        std::uint32_t filled = 0;
        bool drainNow = false;
        {
            std::lock_guard lock(mutex_);
            lastProcess_ = Clock::now();
            if (drainIssued_ || !running_) {
                std::memset(out, 0, want);
                filled = want;
            }
            while (filled < want && !fifo_.empty()) {
                Slot* slot = fifo_.front();
                const std::uint32_t left = slot->header.mAudioDataByteSize - headOffset_;
                const std::uint32_t take = std::min(left, want - filled);
                std::memcpy(out + filled,
                            static_cast<const std::uint8_t*>(slot->header.mAudioData) + headOffset_,
                            take);
                filled += take;
                headOffset_ += take;
                if (headOffset_ == slot->header.mAudioDataByteSize) {
                    fifo_.pop_front();
                    headOffset_ = 0;
                    slot->queued = false;
                    done_.emplace_back(run_, &slot->header);
                    wake_.notify_all();
                }
            }
            // Starved or played out: pad with silence, so a short last buffer is heard whole.
            std::memset(out + filled, 0, want - filled);
            if (draining_ && fifo_.empty() && !drainIssued_) {
                drainIssued_ = true;
                drainNow = true;
            }
        }
        d.chunk->offset = 0;
        d.chunk->stride = std::int32_t(stride);
        d.chunk->size = want;
        pw_stream_queue_buffer(stream_, b);
        if (drainNow) {
            pw_stream_flush(stream_, true);
        }
    }

    void drained() {
        bool finished = false;
        {
            std::lock_guard lock(mutex_);
            if (drainIssued_ && running_) {
                running_ = false;
                draining_ = false;
                drainIssued_ = false;
                finished = true;
            }
        }
        if (finished) {
            pw_stream_set_active(stream_, false);
            registration_->setRunning(false);
        }
    }

    void stateChanged(pw_stream_state state, const char* error) {
        if (state == PW_STREAM_STATE_ERROR) {
            std::fprintf(stderr, "[audio-queue] PipeWire stream failed: %s\n",
                         error ? error : "unknown error");
            std::lock_guard lock(mutex_);
            streamFailed_ = true;
            wake_.notify_all();
        }
    }

    bool graphLost() {
        std::lock_guard guard(graph_->mutex());
        return !graph_->state().connected;
    }

    // The queue's thread: hands played buffers back. When the graph stops asking for audio (the
    // daemon died or stalled, the device went with nothing to drive the stream) it plays on by
    // the clock into nothing, so that a caller feeding and draining the queue still finishes.
    void work() {
        std::unique_lock lock(mutex_);
        bool warned = false;
        while (!quit_) {
            wake_.wait_for(lock, std::chrono::milliseconds(100),
                           [&] { return quit_ || !done_.empty(); });
            while (!done_.empty() && !quit_) {
                auto [run, buffer] = done_.front();
                done_.pop_front();
                lock.unlock();
                handBack(run, buffer);
                lock.lock();
            }
            if (quit_ || !running_) {
                continue;
            }
            const bool stalled = Clock::now() - lastProcess_ > kStallGuard;
            if (!stalled && !streamFailed_) {
                continue;
            }
            lock.unlock();
            const bool lost = graphLost();
            lock.lock();
            serverLost_ = lost || streamFailed_;
            if (!warned) {
                warned = true;
                std::fprintf(stderr, "[audio-queue] %s; playing on without the audio server\n",
                             lost            ? "PipeWire: lost the connection to the daemon"
                             : streamFailed_ ? "PipeWire: the stream failed"
                                             : "PipeWire: the graph stopped asking for audio");
            }
            if (fifo_.empty()) {
                if (draining_) {
                    running_ = false;
                    draining_ = false;
                    lock.unlock();
                    registration_->setRunning(false);
                    lock.lock();
                }
                continue;
            }
            Slot* slot = fifo_.front();
            const std::uint64_t run = run_;
            const double seconds = double((slot->header.mAudioDataByteSize - headOffset_) /
                                          options_.format.mBytesPerFrame) /
                                   options_.format.mSampleRate;
            const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(seconds));
            wake_.wait_until(lock, due, [&] { return quit_ || run_ != run; });
            if (quit_ || run_ != run || fifo_.empty() || fifo_.front() != slot) {
                continue;
            }
            fifo_.pop_front();
            headOffset_ = 0;
            slot->queued = false;
            lock.unlock();
            handBack(run, &slot->header);
            lock.lock();
        }
    }

    void handBack(std::uint64_t run, AudioQueueBufferRef buffer) {
        if (!options_.callbackLoop) {
            std::lock_guard calling(callbackMutex_);
            if (delivery_->run == run && delivery_->alive) {
                options_.callback(*this, buffer);
            }
            return;
        }
        options_.callbackLoop->post([this, run, buffer, delivery = delivery_] {
            if (delivery->alive && delivery->run == run) {
                options_.callback(*this, buffer);
            }
        });
    }

    std::shared_ptr<Graph> graph_;
    OutputQueueOptions options_;
    std::unique_ptr<ProcessRegistration> registration_;
    std::shared_ptr<Delivery> delivery_;

    // Touched under the thread loop's lock.
    pw_stream* stream_ = nullptr;
    spa_hook streamListener_{};
    std::string target_;

    std::mutex mutex_;
    std::condition_variable wake_;
    QueueBuffers<Slot> buffers_;
    std::deque<Slot*> fifo_;
    std::uint32_t headOffset_ = 0;  // bytes of the front buffer already in the graph
    std::deque<std::pair<std::uint64_t, AudioQueueBufferRef>> done_;
    std::uint64_t run_ = 0;
    bool running_ = false;
    bool draining_ = false;
    bool drainIssued_ = false;
    bool streamFailed_ = false;
    bool serverLost_ = false;
    bool quit_ = false;
    Clock::time_point lastProcess_{};

    std::mutex callbackMutex_;
    std::thread worker_;
};

}  // namespace

Result<std::unique_ptr<OutputQueue>, Status> newPipeWireOutputQueue(
    pipewire::PipeWireAudioSystem& system, OutputQueueOptions options) {
    {
        std::lock_guard guard(system.graph()->mutex());
        if (!system.graph()->state().connected) {
            return fail(kAudioHardwareNotRunningError);
        }
    }
    auto registration = system.registerProcess(options.bundleID);
    if (!registration) {
        return fail(kAudioHardwareNotRunningError);
    }
    auto queue = std::make_unique<PipeWireOutputQueue>(system.graph(), std::move(options),
                                                       std::move(registration).value());
    if (Status status = queue->connect()) {
        return fail(status);
    }
    return std::unique_ptr<OutputQueue>(std::move(queue));
}

}  // namespace pellimar::audio
