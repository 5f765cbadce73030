// The simulated output queue: a steady-clock paced thread plays each enqueued buffer for its
// duration and hands it back. Optionally records what was heard to a WAV file.

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/audio_queue/queue_buffers.hpp"
#include "platform/run_loop/run_loop.hpp"
#include "platform/sim/output_queue.hpp"

namespace pellimar::audio {
namespace {

using Clock = std::chrono::steady_clock;

bool isFloat32(const AudioStreamBasicDescription& f) {
    return (f.mFormatFlags & kAudioFormatFlagIsFloat) && f.mBitsPerChannel == 32;
}

void writeFileReplacing(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) {
            return;
        }
    }
    std::rename(temp.c_str(), path.c_str());
}

double wallClockMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// What the queue played, as heard: one WAV file plus a JSON sidecar with the wall-clock time of
// its first frame. Used only by the queue's thread once playback has begun.
class Recorder {
  public:
    static std::unique_ptr<Recorder> open(const std::string& dir,
                                          const AudioStreamBasicDescription& format,
                                          const std::string& bundleID) {
        const std::string stem = bundleID.empty() ? std::string("queue") : bundleID;
        for (int counter = 1; counter < 100000; ++counter) {
            const std::string base =
                dir + "/" + stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter);
            const std::string path = base + ".wav";
            int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) {
                if (errno == EEXIST) {
                    continue;
                }
                std::fprintf(stderr, "[audio-queue] cannot record to %s\n", path.c_str());
                return nullptr;
            }
            SF_INFO info{};
            info.samplerate = int(format.mSampleRate);
            info.channels = int(format.mChannelsPerFrame);
            info.format = SF_FORMAT_WAV | (isFloat32(format) ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
            SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
            if (!file) {
                ::close(fd);
                std::fprintf(stderr, "[audio-queue] cannot record to %s\n", path.c_str());
                return nullptr;
            }
            return std::unique_ptr<Recorder>(new Recorder(file, base, format, bundleID));
        }
        return nullptr;
    }

    ~Recorder() {
        sf_close(file_);
        writeSidecar(true);
    }

    void beginRun(Clock::time_point start) {
        if (!started_) {
            started_ = true;
            startedAtMs_ = wallClockMs();
            writeSidecar(false);
        }
        runStart_ = start;
        runStartFrame_ = frames_;
    }

    void write(const void* data, std::uint32_t bytes) {
        const sf_count_t frames = bytes / format_.mBytesPerFrame;
        if (isFloat32(format_)) {
            sf_writef_float(file_, static_cast<const float*>(data), frames);
        } else {
            sf_writef_short(file_, static_cast<const short*>(data), frames);
        }
        frames_ += frames;
    }

    void writeSilence(sf_count_t frames) {
        if (frames <= 0) {
            return;
        }
        std::vector<std::uint8_t> zeros(std::size_t(std::min<sf_count_t>(frames, 4096)) *
                                        format_.mBytesPerFrame);
        while (frames > 0) {
            const sf_count_t n = std::min<sf_count_t>(frames, 4096);
            write(zeros.data(), std::uint32_t(n * format_.mBytesPerFrame));
            frames -= n;
        }
    }

    // An immediate stop cuts the buffer being heard; the file keeps only what was played.
    void endRunAt(Clock::time_point now) {
        const double seconds = std::chrono::duration<double>(now - runStart_).count();
        const sf_count_t heard =
            runStartFrame_ + sf_count_t(std::max(0.0, seconds) * format_.mSampleRate);
        if (frames_ > heard) {
            sf_count_t keep = heard;
            if (sf_command(file_, SFC_FILE_TRUNCATE, &keep, sizeof(keep)) == 0) {
                frames_ = heard;
                sf_seek(file_, 0, SEEK_END);
            }
        } else {
            writeSilence(heard - frames_);
        }
    }

  private:
    Recorder(SNDFILE* file, std::string base, const AudioStreamBasicDescription& format,
             std::string bundleID)
        : file_(file), base_(std::move(base)), format_(format), bundleID_(std::move(bundleID)) {}

    void writeSidecar(bool closed) {
        nlohmann::json j = {{"file", base_.substr(base_.find_last_of('/') + 1) + ".wav"},
                            {"bundleID", bundleID_},
                            {"pid", ::getpid()},
                            {"sampleRate", format_.mSampleRate},
                            {"channels", format_.mChannelsPerFrame},
                            {"sampleFormat", isFloat32(format_) ? "float32" : "int16"},
                            {"startedAtMs", started_ ? nlohmann::json(startedAtMs_) : nullptr},
                            {"frames", frames_},
                            {"closed", closed}};
        writeFileReplacing(base_ + ".json", j.dump(2) + "\n");
    }

    SNDFILE* file_;
    std::string base_;
    AudioStreamBasicDescription format_;
    std::string bundleID_;
    bool started_ = false;
    double startedAtMs_ = 0;
    sf_count_t frames_ = 0;
    Clock::time_point runStart_{};
    sf_count_t runStartFrame_ = 0;
};

struct Slot {
    AudioQueueBuffer header;
    std::vector<std::uint8_t> storage;
    bool queued = false;
    Clock::time_point enqueuedAt{};
};

// Whether callbacks posted to a run loop may still run; read and written on that loop's thread
// and by the queue's thread, hence atomic.
struct Delivery {
    std::atomic<bool> alive{true};
    std::atomic<std::uint64_t> run{0};
};

class SimOutputQueue final : public OutputQueue {
  public:
    SimOutputQueue(AudioSystem& system, OutputQueueOptions options,
                   std::unique_ptr<ProcessRegistration> registration)
        : system_(system),
          options_(std::move(options)),
          registration_(std::move(registration)),
          delivery_(std::make_shared<Delivery>()) {
        if (const char* dir = std::getenv("PELLIMAR_SIM_RECORD_DIR"); dir && *dir) {
            recordDir_ = dir;
        }
    }

    ~SimOutputQueue() override {
        stop(true);
        delivery_->alive = false;
        if (thread_.joinable()) {
            thread_.join();
        }
        recorder_.reset();
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
        slot->enqueuedAt = Clock::now();
        fifo_.push_back(slot);
        wake_.notify_all();
        return 0;
    }

    Status start() override {
        std::unique_lock lock(mutex_);
        if (threadActive_ && !stopNow_) {
            drainRequested_ = false;
            return 0;
        }
        lock.unlock();
        if (thread_.joinable()) {
            if (thread_.get_id() == std::this_thread::get_id()) {
                return kAudioQueueErr_InvalidRunState;
            }
            thread_.join();  // a queue that played out or was stopped is started again
        }
        if (!recorder_ && !recordDir_.empty()) {
            recorder_ = Recorder::open(recordDir_, options_.format, options_.bundleID);
            recordDir_.clear();
        }
        lock.lock();
        stopNow_ = false;
        drainRequested_ = false;
        threadActive_ = true;
        running_ = true;
        const std::uint64_t run = ++delivery_->run;
        registration_->setRunning(true);
        thread_ = std::thread([this, run] { play(run); });
        return 0;
    }

    Status stop(bool immediate) override {
        std::unique_lock lock(mutex_);
        if (!immediate) {
            if (threadActive_) {
                drainRequested_ = true;
                wake_.notify_all();
            }
            return 0;
        }
        stopNow_ = true;
        ++delivery_->run;  // callbacks already posted to a loop are dropped
        wake_.notify_all();
        lock.unlock();
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
            thread_.join();
        }
        lock.lock();
        for (Slot* slot : fifo_) {
            slot->queued = false;
        }
        fifo_.clear();
        if (running_) {
            running_ = false;
            registration_->setRunning(false);
        }
        return 0;
    }

    Status getIsRunning(std::uint32_t& outRunning) override {
        std::lock_guard lock(mutex_);
        outRunning = running_ ? 1 : 0;
        return 0;
    }

    Status setCurrentDevice(const std::string& deviceUID) override {
        AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices};
        std::uint32_t size = 0;
        if (deviceUID.empty() ||
            system_.getPropertyDataSize(kAudioObjectSystemObject, devices, 0, nullptr, size) != 0) {
            return kAudioQueueErr_InvalidDevice;
        }
        std::vector<ObjectID> ids(size / sizeof(ObjectID));
        size = std::uint32_t(ids.size() * sizeof(ObjectID));
        if (ids.empty() || system_.getPropertyData(kAudioObjectSystemObject, devices, 0, nullptr,
                                                   size, ids.data()) != 0) {
            return kAudioQueueErr_InvalidDevice;
        }
        ids.resize(size / sizeof(ObjectID));
        for (ObjectID id : ids) {
            std::optional<std::string> uid;
            if (system_.getStringProperty(id, {kAudioDevicePropertyDeviceUID}, uid) == 0 &&
                uid == deviceUID) {
                std::lock_guard lock(mutex_);
                currentDevice_ = deviceUID;
                return 0;
            }
        }
        return kAudioQueueErr_InvalidDevice;
    }

    const AudioStreamBasicDescription& format() const override { return options_.format; }

    // No graph here, so no quantum: a buffer enqueued after the one before had ended is a gap.
    OutputQueueStatistics statistics() const override {
        return {0, underruns_.load(std::memory_order_relaxed)};
    }

  private:
    Clock::duration durationOf(std::uint32_t bytes) const {
        const double seconds =
            double(bytes / options_.format.mBytesPerFrame) / options_.format.mSampleRate;
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    // The queue's thread. The playhead is when the next frame is heard; a buffer enqueued after
    // the playhead passed means the queue starved for that long.
    void play(std::uint64_t run) {
        Clock::time_point playhead = Clock::now();
        if (recorder_) {
            recorder_->beginRun(playhead);
        }
        std::unique_lock lock(mutex_);
        while (!stopNow_) {
            if (fifo_.empty()) {
                if (drainRequested_) {
                    break;
                }
                wake_.wait(lock, [&] { return stopNow_ || drainRequested_ || !fifo_.empty(); });
                continue;
            }
            Slot* slot = fifo_.front();
            fifo_.pop_front();
            const Clock::time_point enqueuedAt = slot->enqueuedAt;
            const std::uint32_t bytes = slot->header.mAudioDataByteSize;
            lock.unlock();
            if (enqueuedAt > playhead) {
                underruns_.fetch_add(1, std::memory_order_relaxed);
                if (recorder_) {
                    const double gap = std::chrono::duration<double>(enqueuedAt - playhead).count();
                    recorder_->writeSilence(sf_count_t(gap * options_.format.mSampleRate));
                }
                playhead = enqueuedAt;
            }
            if (recorder_) {
                recorder_->write(slot->header.mAudioData, bytes);
            }
            playhead += durationOf(bytes);
            lock.lock();
            wake_.wait_until(lock, playhead, [&] { return stopNow_; });
            if (stopNow_) {
                slot->queued = false;
                break;
            }
            slot->queued = false;
            lock.unlock();
            handBack(run, &slot->header);
            lock.lock();
        }
        const bool immediate = stopNow_;
        threadActive_ = false;
        if (!immediate && running_) {
            running_ = false;
            registration_->setRunning(false);
        }
        lock.unlock();
        if (recorder_ && immediate) {
            // A drained queue ends exactly at its playhead; a stopped one when it was stopped.
            recorder_->endRunAt(Clock::now());
        }
    }

    void handBack(std::uint64_t run, AudioQueueBufferRef buffer) {
        if (!options_.callbackLoop) {
            options_.callback(*this, buffer);
            return;
        }
        options_.callbackLoop->post([this, run, buffer, delivery = delivery_] {
            if (delivery->alive && delivery->run == run) {
                options_.callback(*this, buffer);
            }
        });
    }

    AudioSystem& system_;
    OutputQueueOptions options_;
    std::unique_ptr<ProcessRegistration> registration_;
    std::shared_ptr<Delivery> delivery_;
    std::string recordDir_;
    std::unique_ptr<Recorder> recorder_;  // touched by the queue's thread only while it runs

    std::mutex mutex_;
    std::condition_variable wake_;
    QueueBuffers<Slot> buffers_;
    std::deque<Slot*> fifo_;
    bool threadActive_ = false;
    bool running_ = false;
    bool stopNow_ = false;
    bool drainRequested_ = false;
    std::string currentDevice_;
    std::atomic<std::uint64_t> underruns_{0};
    std::thread thread_;
};

}  // namespace

Result<std::unique_ptr<OutputQueue>, Status> newSimOutputQueue(AudioSystem& system,
                                                               OutputQueueOptions options) {
    auto registration = system.registerProcess(options.bundleID);
    if (!registration) {
        return fail(kAudioHardwareNotRunningError);
    }
    std::unique_ptr<OutputQueue> queue = std::make_unique<SimOutputQueue>(
        system, std::move(options), std::move(registration).value());
    return queue;
}

}  // namespace pellimar::audio
