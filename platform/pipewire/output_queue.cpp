// The output queue on a PipeWire stream. Enqueued buffers are copied into a ring that the
// stream's process callback reads on the data thread (realtime where allowed: a non-realtime loop
// thread missed cycles on a loaded machine); nothing there locks or allocates. The ring is kept
// one graph quantum (and a little) ahead, and a buffer whose audio is in it goes back to the
// caller when the ring needs more, so a caller with a few small buffers covers the largest
// quantum without playing late at small ones. Buffers go back from the queue's own thread, or
// posted from there to the caller's run loop.

#include "platform/pipewire/output_queue.hpp"

#include <pipewire/pipewire.h>
#include <poll.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/audio_queue/queue_buffers.hpp"
#include "platform/pipewire/byte_ring.hpp"
#include "platform/run_loop/run_loop.hpp"

namespace pellimar::audio {
namespace {

using Clock = std::chrono::steady_clock;
using pipewire::Graph;

// How long a running stream may go without being asked for audio before the queue stops waiting
// for the graph: a hang guard for a daemon that stopped or a device left with nothing to drive it.
constexpr auto kStallGuard = std::chrono::seconds(2);
// Audio the ring can hold: the largest quantum (8192 frames) resampled from 44.1 kHz, the
// caller's buffers on top, and room for a drain.
constexpr std::uint32_t kRingFrames = 32768;
// Until the graph has said which quantum it runs: its usual default.
constexpr std::uint32_t kFirstQuantum = 1024;
// Kept in the ring beyond the next quantum, and at least 1536 frames (32 ms) in all: the margin
// of three 512-frame buffers in rotation. A refill on a loaded machine's run loop was seen to take
// over 21 ms; with less, 256-frame graphs missed cycles. Every frame of it delays what the caller
// plays next.
constexpr std::uint32_t kSpareFrames = 256;
constexpr std::uint32_t kLeastAheadFrames = 1536;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Slot {
    AudioQueueBuffer header;
    std::vector<std::uint8_t> storage;
    bool queued = false;
    std::uint32_t lent = 0;  // bytes it carried when handed back, until it is enqueued again
};

// Whether callbacks posted to a run loop may still run (see the simulated queue).
struct Delivery {
    std::atomic<bool> alive{true};
    std::atomic<std::uint64_t> run{0};
};

// The eventfd that wakes the queue's thread: written from the data thread without a lock.
class WakeFd {
  public:
    WakeFd() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~WakeFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;

    void signal() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    }
    // Waits for a signal or the timeout, and takes the signals.
    void wait(std::chrono::milliseconds timeout) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, int(timeout.count())) > 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
        }
    }

  private:
    int fd_;
};

class PipeWireOutputQueue final : public OutputQueue {
  public:
    PipeWireOutputQueue(std::shared_ptr<Graph> graph, OutputQueueOptions options,
                        std::unique_ptr<ProcessRegistration> registration)
        : graph_(std::move(graph)),
          options_(std::move(options)),
          registration_(std::move(registration)),
          delivery_(std::make_shared<Delivery>()),
          ring_(std::size_t(kRingFrames) * options_.format.mBytesPerFrame) {
        worker_ = std::thread([this] { work(); });
    }

    ~PipeWireOutputQueue() override {
        stop(true);
        delivery_->alive = false;
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.signal();
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
        const Status status = buffers_.allocate(capacity, outBuffer);
        if (status == 0) {
            allocatedBytes_ += capacity;
            largestBytes_ = std::max(largestBytes_, capacity);
        }
        return status;
    }

    Status enqueueBuffer(AudioQueueBufferRef buffer) override {
        std::unique_lock lock(mutex_);
        // Without its daemon nothing will ever play it: the caller hears of it here. (A stream
        // that merely failed, say for want of a sink, plays on by the clock.)
        if (daemonLost_) {
            return kAudioHardwareNotRunningError;
        }
        Slot* slot = nullptr;
        if (Status status = buffers_.admit(buffer, options_.format.mBytesPerFrame, slot)) {
            return status;
        }
        lentBytes_ -= std::min<std::size_t>(lentBytes_, slot->lent);
        slot->lent = 0;
        pending_.push_back(slot);
        const bool handBack = pump();
        lock.unlock();
        if (handBack) {
            wake_.signal();
        }
        return 0;
    }

    Status start() override {
        {
            std::lock_guard lock(mutex_);
            if (running_ && !draining_) {
                return 0;
            }
            draining_ = false;
            drainRequested_ = false;
            drainIssued_ = false;
            running_ = true;
            playing_ = true;
            lastProcessNs_ = nowNs();
            delivery_->run = run_;
            pump();
        }
        wake_.signal();
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
            playing_ = false;
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
                drainRequested_ = true;
                pump();
                lock.unlock();
                wake_.signal();
            }
            return 0;
        }
        const bool wasRunning = running_;
        ++run_;
        delivery_->run = run_;  // callbacks already posted to a loop are dropped
        running_ = false;
        draining_ = false;
        drainRequested_ = false;
        playing_ = false;
        for (auto* list : {&pending_, &spent_}) {
            for (Slot* slot : *list) {
                slot->queued = false;
            }
            list->clear();
        }
        lentBytes_ = 0;
        pendingEmpty_ = true;
        headOffset_ = 0;
        done_.clear();
        consume(ring_.size());
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

    OutputQueueStatistics statistics() const override {
        return {quantumKnown_.load(std::memory_order_relaxed)
                    ? quantumFrames_.load(std::memory_order_relaxed)
                    : 0,
                underruns_.load(std::memory_order_relaxed)};
    }

  private:
    bool running_now() {
        std::lock_guard lock(mutex_);
        return running_;
    }

    // Under mutex_: moves queued buffers into the ring until it holds the next quantum and the
    // spare, and hands a spent buffer back only when the ring and the buffers already lent out
    // fall short of that: a caller refills at once, and a buffer it filled long before it is
    // needed would only delay what it plays next. While draining everything moves and goes back.
    // True when a buffer is ready to go back.
    bool pump() {
        if (running_) {
            const std::uint32_t quantum = quantumFrames_.load(std::memory_order_relaxed);
            // Never less ahead than the caller's buffers but one, which a queue that hands a
            // buffer back only once played keeps: a caller with large buffers chose that margin.
            const std::size_t frame = options_.format.mBytesPerFrame;
            const std::size_t target =
                std::max({std::size_t(quantum + kSpareFrames) * frame,
                          std::size_t(kLeastAheadFrames) * frame, allocatedBytes_ - largestBytes_});
            for (;;) {
                if (!pending_.empty() && (draining_ || ring_.size() < target)) {
                    Slot* slot = pending_.front();
                    const std::uint32_t size = slot->header.mAudioDataByteSize;
                    const std::size_t n = ring_.write(
                        static_cast<const std::uint8_t*>(slot->header.mAudioData) + headOffset_,
                        size - headOffset_);
                    if (n == 0) {
                        break;
                    }
                    headOffset_ += std::uint32_t(n);
                    if (headOffset_ == size) {
                        pending_.pop_front();
                        headOffset_ = 0;
                        spent_.push_back(slot);
                    }
                } else if (!spent_.empty() && (draining_ || ring_.size() + lentBytes_ < target)) {
                    Slot* slot = spent_.front();
                    spent_.pop_front();
                    slot->queued = false;
                    slot->lent = slot->header.mAudioDataByteSize;
                    lentBytes_ += slot->lent;
                    done_.emplace_back(run_, &slot->header);
                } else {
                    break;
                }
            }
        }
        pendingEmpty_.store(pending_.empty(), std::memory_order_release);
        return !done_.empty();
    }

    // Under mutex_, off the data thread: drops `bytes` from the ring, taking the consumer's
    // place from the data thread for that long.
    void consume(std::size_t bytes) {
        while (consuming_.exchange(true, std::memory_order_acquire)) {
            std::this_thread::yield();
        }
        ring_.read(nullptr, bytes);
        consuming_.store(false, std::memory_order_release);
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
        const auto& labels = options_.labels;
        for (const auto& [key, value] : {std::pair{PW_KEY_APP_NAME, &labels.application},
                                         {PW_KEY_MEDIA_NAME, &labels.media},
                                         {PW_KEY_MEDIA_ROLE, &labels.role},
                                         {PW_KEY_APP_ICON_NAME, &labels.icon}}) {
            if (!value->empty()) {
                pw_properties_set(props, key, value->c_str());
            }
        }
        if (!target_.empty()) {
            pw_properties_set(props, PW_KEY_TARGET_OBJECT, target_.c_str());
        }
        stream_ = pw_stream_new(graph_->core(), "pellimar-output", props);
        if (!stream_) {
            return kAudioHardwareNotRunningError;
        }
        static const pw_stream_events kEvents = [] {
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
        pw_stream_add_listener(stream_, &streamListener_, &kEvents, this);

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

    // On the data thread: fills one graph buffer from the ring, silence when starved. Only
    // atomics, the ring and a wake-up: no lock, no allocation.
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
        lastProcessNs_.store(nowNs(), std::memory_order_relaxed);
        quantumFrames_.store(frames, std::memory_order_relaxed);
        quantumKnown_.store(true, std::memory_order_relaxed);
        const std::size_t want = std::size_t(frames) * stride;
        std::size_t filled = 0;
        if (playing_.load(std::memory_order_acquire) &&
            !drainIssued_.load(std::memory_order_acquire) &&
            !consuming_.exchange(true, std::memory_order_acquire)) {
            filled = ring_.read(out, want);
            consuming_.store(false, std::memory_order_release);
        }
        // Starved or played out: pad with silence, so a short last buffer is heard whole.
        std::memset(out + filled, 0, want - filled);
        if (filled < want && playing_.load(std::memory_order_acquire) &&
            !drainRequested_.load(std::memory_order_acquire)) {
            underruns_.fetch_add(1, std::memory_order_relaxed);
        }
        bool drainNow = false;
        if (drainRequested_.load(std::memory_order_acquire) &&
            pendingEmpty_.load(std::memory_order_acquire) && ring_.size() == 0) {
            drainNow = !drainIssued_.exchange(true, std::memory_order_acq_rel);
        }
        d.chunk->offset = 0;
        d.chunk->stride = std::int32_t(stride);
        d.chunk->size = std::uint32_t(want);
        pw_stream_queue_buffer(stream_, b);
        if (drainNow) {
            pw_stream_flush(stream_, true);
        }
        // Every cycle, also a starved one: the queue's thread may hold the buffers that refill it.
        wake_.signal();
    }

    void drained() {
        bool finished = false;
        {
            std::lock_guard lock(mutex_);
            if (drainIssued_ && running_) {
                running_ = false;
                draining_ = false;
                drainRequested_ = false;
                drainIssued_ = false;
                playing_ = false;
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
            {
                std::lock_guard lock(mutex_);
                streamFailed_ = true;
            }
            wake_.signal();
        }
    }

    bool graphLost() {
        std::lock_guard guard(graph_->mutex());
        return !graph_->state().connected;
    }

    // The queue's thread: keeps the ring filled and hands buffers back. When the graph stops
    // asking for audio (the daemon died or stalled, the device went with nothing to drive the
    // stream) it plays the ring on by the clock into nothing, so that a caller feeding and
    // draining the queue still finishes.
    void work() {
        bool warned = false;
        bool byClock = false;
        auto clockFrom = Clock::now();
        auto checked = Clock::now();
        std::deque<std::pair<std::uint64_t, AudioQueueBufferRef>> handing;
        for (;;) {
            wake_.wait(byClock ? std::chrono::milliseconds(10) : std::chrono::milliseconds(100));
            std::unique_lock lock(mutex_);
            if (quit_) {
                break;
            }
            bool finished = false;
            if (running_) {
                pump();
                const auto now = Clock::now();
                if (now - checked >= std::chrono::milliseconds(100) || streamFailed_) {
                    checked = now;
                    const bool stalled =
                        nowNs() - lastProcessNs_.load(std::memory_order_relaxed) >
                        std::chrono::duration_cast<std::chrono::nanoseconds>(kStallGuard).count();
                    lock.unlock();
                    const bool lost = graphLost();
                    lock.lock();
                    daemonLost_ = daemonLost_ || lost;
                    if (lost || streamFailed_) {
                        serverLost_ = true;
                    }
                    if ((stalled || serverLost_) && !byClock) {
                        byClock = true;
                        clockFrom = now;
                        if (!warned) {
                            warned = true;
                            std::fprintf(
                                stderr, "[audio-queue] %s; playing on without the audio server\n",
                                lost            ? "PipeWire: lost the connection to the daemon"
                                : streamFailed_ ? "PipeWire: the stream failed"
                                                : "PipeWire: the graph stopped asking for audio");
                        }
                    } else if (!stalled && !serverLost_) {
                        byClock = false;
                    }
                }
                if (byClock && running_) {
                    const auto frames =
                        std::size_t(std::chrono::duration<double>(now - clockFrom).count() *
                                    options_.format.mSampleRate);
                    clockFrom +=
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            double(frames) / options_.format.mSampleRate));
                    consume(frames * options_.format.mBytesPerFrame);
                    pump();
                    if (draining_ && pending_.empty() && ring_.size() == 0) {
                        running_ = false;
                        draining_ = false;
                        drainRequested_ = false;
                        playing_ = false;
                        finished = true;
                    }
                }
            }
            handing.swap(done_);
            lock.unlock();
            if (finished) {
                registration_->setRunning(false);
            }
            for (const auto& [run, buffer] : handing) {
                handBack(run, buffer);
            }
            handing.clear();
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
    QueueBuffers<Slot> buffers_;
    std::deque<Slot*> pending_;  // enqueued, not yet (wholly) in the ring
    std::deque<Slot*> spent_;    // in the ring, not yet handed back
    std::size_t lentBytes_ = 0;  // handed back, not yet enqueued again
    std::size_t allocatedBytes_ = 0;
    std::uint32_t largestBytes_ = 0;
    std::uint32_t headOffset_ = 0;  // bytes of the front pending buffer already in the ring
    std::deque<std::pair<std::uint64_t, AudioQueueBufferRef>> done_;
    std::uint64_t run_ = 0;
    bool running_ = false;
    bool draining_ = false;
    bool streamFailed_ = false;
    bool serverLost_ = false;
    bool daemonLost_ = false;
    bool quit_ = false;

    // Shared with the data thread.
    ByteRing ring_;
    std::atomic<bool> consuming_{false};  // whoever reads the ring holds this
    std::atomic<bool> playing_{false};
    std::atomic<bool> drainRequested_{false};
    std::atomic<bool> drainIssued_{false};
    std::atomic<bool> pendingEmpty_{true};
    std::atomic<std::uint32_t> quantumFrames_{kFirstQuantum};
    std::atomic<bool> quantumKnown_{false};
    std::atomic<std::uint64_t> underruns_{0};
    std::atomic<std::int64_t> lastProcessNs_{0};
    WakeFd wake_;

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
