// The output queue on PipeWire against a private daemon with WirePlumber.

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <thread>

#include "platform/audio_queue/audio_queue.hpp"
#include "platform/device_queries/device_queries.hpp"
#include "platform/pipewire/audio_system.hpp"
#include "platform/run_loop/run_loop.hpp"
#include "tests/support/pipewire_daemon.hpp"
#include "tests/support/pipewire_fixture.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PELLIMAR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PELLIMAR_SANITIZED 1
#endif
#endif

// What must never happen on a realtime (audio data) thread, counted while a test watches. The
// sanitizers interpose these calls themselves, so their builds do not count.
namespace realtime_watch {
std::atomic<bool> watching{false};
std::atomic<int> allocations{0};
std::atomic<int> locks{0};
std::atomic<int> wakes{0};

bool onRealtimeThread() {
    const int policy = ::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    return policy == SCHED_FIFO || policy == SCHED_RR;
}
void count(std::atomic<int>& what) {
    if (watching.load(std::memory_order_relaxed) && onRealtimeThread()) {
        ++what;
    }
}

// Whether any thread of this process runs with a realtime policy (field 41 of its stat).
bool anyRealtimeThread() {
    DIR* tasks = ::opendir("/proc/self/task");
    bool found = false;
    while (dirent* entry = tasks ? ::readdir(tasks) : nullptr) {
        std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), {});
        const auto close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        for (int i = 3; i <= 41 && fields >> field; ++i) {
        }
        found = found || field == "1" || field == "2";
    }
    if (tasks) {
        ::closedir(tasks);
    }
    return found;
}
}  // namespace realtime_watch

#ifndef PELLIMAR_SANITIZED
// The replacement pair below is malloc and free on both sides, which GCC cannot see through.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    realtime_watch::count(realtime_watch::allocations);
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}
extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
    static const auto next = real<int (*)(pthread_mutex_t*)>("pthread_mutex_lock");
    realtime_watch::count(realtime_watch::locks);
    return next(mutex);
}
extern "C" int pthread_cond_broadcast(pthread_cond_t* cond) {
    static const auto next = real<int (*)(pthread_cond_t*)>("pthread_cond_broadcast");
    realtime_watch::count(realtime_watch::wakes);
    return next(cond);
}
extern "C" int pthread_cond_signal(pthread_cond_t* cond) {
    static const auto next = real<int (*)(pthread_cond_t*)>("pthread_cond_signal");
    realtime_watch::count(realtime_watch::wakes);
    return next(cond);
}
#endif

namespace pellimar::audio {
namespace {

using testing::PipeWireDaemon;
using testing::PrivatePipeWireTest;

constexpr const char* kBundleID = "org.pellimar.queue-test";

AudioStreamBasicDescription stereoFloat() {
    return packedPcmFormat(48000, 2, SampleType::float32);
}

// Feeds a queue with a 1 kHz tone and counts the buffers it hands back.
struct Feeder {
    std::atomic<int> callbacks{0};
    std::atomic<bool> offLoopThread{false};
    std::atomic<bool> refill{true};
    std::atomic<int> refused{0};
    std::thread::id loopThread = std::this_thread::get_id();
    std::uint64_t frame = 0;  // touched only by callbacks, which never overlap

    void fill(AudioQueueBufferRef buffer) {
        auto* samples = static_cast<float*>(buffer->mAudioData);
        const std::uint32_t frames = buffer->mAudioDataBytesCapacity / 8;
        for (std::uint32_t i = 0; i < frames; ++i, ++frame) {
            const float v = 0.3f * float(std::sin(2 * M_PI * 1000.0 * double(frame) / 48000.0));
            samples[2 * i] = samples[2 * i + 1] = v;
        }
        buffer->mAudioDataByteSize = frames * 8;
    }

    OutputCallback callback(bool checkLoopThread) {
        return [this, checkLoopThread](OutputQueue& queue, AudioQueueBufferRef buffer) {
            if (checkLoopThread && std::this_thread::get_id() != loopThread) {
                offLoopThread = true;
            }
            ++callbacks;
            if (refill) {
                fill(buffer);
                if (queue.enqueueBuffer(buffer) != 0) {
                    ++refused;
                }
            }
        };
    }
};

class PipeWireQueueTest : public PrivatePipeWireTest {
  protected:
    static void SetUpTestSuite() {
        if (startSharedDaemon()) {
            PipeWireDaemon::createNullNode("queue-speakers", "Speakers", "Audio/Sink", 2);
            PipeWireDaemon::createNullNode("queue-other", "Other", "Audio/Sink", 2);
        }
    }

    void SetUpWithDaemon() override {
        auto opened = pipewire::PipeWireAudioSystem::open();
        ASSERT_TRUE(opened) << opened.error();
        system_ = std::move(*opened);
    }

    std::unique_ptr<OutputQueue> makeQueue(Feeder& feeder, RunLoop* loop) {
        OutputQueueOptions options;
        options.format = stereoFloat();
        options.callback = feeder.callback(loop != nullptr);
        options.callbackLoop = loop;
        options.bundleID = kBundleID;
        auto queue = newOutputQueue(*system_, std::move(options));
        EXPECT_TRUE(queue);
        if (!queue) {
            return nullptr;
        }
        for (int i = 0; i < 3; ++i) {
            AudioQueueBufferRef buffer = nullptr;
            EXPECT_EQ((*queue)->allocateBuffer(4096 * 8, buffer), 0);
            feeder.fill(buffer);
            EXPECT_EQ((*queue)->enqueueBuffer(buffer), 0);
        }
        return std::move(*queue);
    }

    // The output ports of our stream that are linked into `device`.
    static bool linkedTo(const std::string& device) {
        return PipeWireDaemon::run("pw-link -l | grep -A3 '^" + std::string(kBundleID) +
                                   ":output_FL' | grep -q '" + device + ":playback_FL'");
    }

    std::optional<pipewire::Node> ourStream() {
        std::lock_guard guard(system_->graph()->mutex());
        for (const auto& [serial, node] : system_->graph()->state().nodes) {
            if (node.mediaClass() == "Stream/Output/Audio" && node.name() == kBundleID) {
                return node;
            }
        }
        return std::nullopt;
    }

    std::unique_ptr<pipewire::PipeWireAudioSystem> system_;
};

TEST_F(PipeWireQueueTest, PlaysToItsCurrentDeviceWithTheApplicationIDInBothCallbackModes) {
    for (bool onRunLoop : {false, true}) {
        SCOPED_TRACE(onRunLoop ? "callbacks on a run loop" : "callbacks on the queue's thread");
        RunLoop loop;
        Feeder feeder;
        auto queue = makeQueue(feeder, onRunLoop ? &loop : nullptr);
        ASSERT_TRUE(queue);
        EXPECT_EQ(queue->setCurrentDevice("no-such-device"), kAudioQueueErr_InvalidDevice);
        ASSERT_EQ(queue->setCurrentDevice("queue-other"), 0);
        ASSERT_EQ(queue->start(), 0);
        std::uint32_t running = 0;
        EXPECT_EQ(queue->getIsRunning(running), 0);
        EXPECT_EQ(running, 1u);
        EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
            loop.runFor(std::chrono::milliseconds(10));
            return feeder.callbacks > 10 && linkedTo("queue-other");
        })) << feeder.callbacks;
        EXPECT_FALSE(feeder.offLoopThread);
        auto stream = ourStream();
        ASSERT_TRUE(stream);
        EXPECT_EQ(stream->props["application.id"], kBundleID);
        EXPECT_EQ(stream->props["target.object"], "queue-other");
        EXPECT_FALSE(linkedTo("queue-speakers"));

        // The process is listed under the queue's identifier, running while it plays.
        auto processRunning = [&] {
            std::uint32_t size = 0;
            const AudioObjectPropertyAddress list{kAudioHardwarePropertyProcessObjectList};
            (void)system_->getPropertyDataSize(kAudioObjectSystemObject, list, 0, nullptr, size);
            std::vector<ObjectID> ids(size / 4);
            (void)system_->getPropertyData(kAudioObjectSystemObject, list, 0, nullptr, size,
                                           ids.data());
            for (ObjectID id : ids) {
                std::int32_t pid = 0;
                std::uint32_t pidSize = 4, isRunning = 0, runSize = 4;
                std::optional<std::string> bundle;
                if (system_->getPropertyData(id, {kAudioProcessPropertyPID}, 0, nullptr, pidSize,
                                             &pid) == 0 &&
                    pid == ::getpid()) {
                    EXPECT_EQ(
                        system_->getStringProperty(id, {kAudioProcessPropertyBundleID}, bundle), 0);
                    EXPECT_EQ(bundle, kBundleID);
                    (void)system_->getPropertyData(id, {kAudioProcessPropertyIsRunning}, 0, nullptr,
                                                   runSize, &isRunning);
                    return std::optional<bool>(isRunning != 0);
                }
            }
            return std::optional<bool>();
        };
        EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return processRunning() == true; }));

        // Played out: the queue stops running by itself once the graph has drained it.
        feeder.refill = false;
        EXPECT_EQ(queue->stop(false), 0);
        EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
            loop.runFor(std::chrono::milliseconds(10));
            return queue->getIsRunning(running) == 0 && running == 0;
        }));
        EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return processRunning() == false; }));
        queue.reset();
        EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return !ourStream(); }));
    }
}

// The data thread copies and wakes; it never takes a lock, allocates or signals a condition
// variable, whatever the callback mode, through a start, a drain and an immediate stop.
TEST_F(PipeWireQueueTest, TheRealtimeThreadNeverLocksOrAllocates) {
#ifdef PELLIMAR_SANITIZED
    GTEST_SKIP() << "the sanitizers interpose the calls counted here";
#endif
    for (bool onRunLoop : {false, true}) {
        SCOPED_TRACE(onRunLoop ? "callbacks on a run loop" : "callbacks on the queue's thread");
        RunLoop loop;
        realtime_watch::allocations = realtime_watch::locks = realtime_watch::wakes = 0;
        realtime_watch::watching = true;
        bool realtime = false;
        for (bool drain : {false, true}) {
            Feeder feeder;
            auto queue = makeQueue(feeder, onRunLoop ? &loop : nullptr);
            ASSERT_TRUE(queue);
            ASSERT_EQ(queue->start(), 0);
            EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
                loop.runFor(std::chrono::milliseconds(10));
                return feeder.callbacks > 12;
            }));
            realtime = realtime || realtime_watch::anyRealtimeThread();
            feeder.refill = false;
            EXPECT_EQ(queue->stop(!drain), 0);
            std::uint32_t running = 1;
            EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
                loop.runFor(std::chrono::milliseconds(10));
                return queue->getIsRunning(running) == 0 && running == 0;
            }));
        }
        realtime_watch::watching = false;
        ASSERT_TRUE(realtime) << "no realtime thread to watch: the data thread did not get one";
        EXPECT_EQ(realtime_watch::allocations, 0);
        EXPECT_EQ(realtime_watch::locks, 0);
        EXPECT_EQ(realtime_watch::wakes, 0);
    }
}

TEST_F(PipeWireQueueTest, AnImmediateStopEndsTheCallbacks) {
    Feeder feeder;
    auto queue = makeQueue(feeder, nullptr);
    ASSERT_TRUE(queue);
    ASSERT_EQ(queue->start(), 0);
    ASSERT_TRUE(PipeWireDaemon::waitFor([&] { return feeder.callbacks > 5; }));
    ASSERT_EQ(queue->stop(true), 0);
    const int stoppedAt = feeder.callbacks;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(feeder.callbacks, stoppedAt);
    std::uint32_t running = 1;
    EXPECT_EQ(queue->getIsRunning(running), 0);
    EXPECT_EQ(running, 0u);
}

TEST_F(PipeWireQueueTest, ADeviceThatVanishesUnderAPlayingQueueNeitherHangsNorCrashesIt) {
    ASSERT_TRUE(PipeWireDaemon::createNullNode("queue-vanishing", "Vanishing", "Audio/Sink", 2));
    ASSERT_TRUE(PipeWireDaemon::waitFor([&] {
        std::lock_guard guard(system_->graph()->mutex());
        return system_->graph()->state().nodeByName("queue-vanishing") != nullptr;
    }));
    Feeder feeder;
    auto queue = makeQueue(feeder, nullptr);
    ASSERT_TRUE(queue);
    ASSERT_EQ(queue->setCurrentDevice("queue-vanishing"), 0);
    ASSERT_EQ(queue->start(), 0);
    ASSERT_TRUE(PipeWireDaemon::waitFor(
        [&] { return feeder.callbacks > 5 && linkedTo("queue-vanishing"); }));
    ASSERT_TRUE(PipeWireDaemon::destroyNode("queue-vanishing"));
    const int before = feeder.callbacks;
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return feeder.callbacks > before + 20; }));
    // WirePlumber moves a stream whose target is gone to the default sink.
    EXPECT_TRUE(PipeWireDaemon::waitFor(
        [&] { return linkedTo("queue-speakers") || linkedTo("queue-other"); }));
    EXPECT_EQ(queue->stop(true), 0);
    queue.reset();
}

// A daemon of its own, killed mid-play.
TEST(PipeWireQueueDaemonKilled, TheQueuePlaysOutByTheClockAndReadsReportTheLoss) {
    PELLIMAR_REQUIRE_PIPEWIRE();
    PipeWireDaemon daemon;
    ASSERT_EQ(daemon.error(), "");
    ASSERT_TRUE(PipeWireDaemon::createNullNode("killed-speakers", "Speakers", "Audio/Sink", 2));
    auto opened = pipewire::PipeWireAudioSystem::open();
    ASSERT_TRUE(opened) << opened.error();
    auto system = std::move(*opened);

    Feeder feeder;
    OutputQueueOptions options;
    options.format = stereoFloat();
    options.callback = feeder.callback(false);
    options.bundleID = kBundleID;
    auto created = newOutputQueue(*system, std::move(options));
    ASSERT_TRUE(created);
    auto queue = std::move(*created);
    for (int i = 0; i < 3; ++i) {
        AudioQueueBufferRef buffer = nullptr;
        ASSERT_EQ(queue->allocateBuffer(4096 * 8, buffer), 0);
        feeder.fill(buffer);
        ASSERT_EQ(queue->enqueueBuffer(buffer), 0);
    }
    ASSERT_EQ(queue->start(), 0);
    ASSERT_TRUE(PipeWireDaemon::waitFor([&] { return feeder.callbacks > 5; }));

    daemon.killDaemon();
    std::uint32_t size = 0;
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] {
        return system->getPropertyDataSize(kAudioObjectSystemObject,
                                           {kAudioHardwarePropertyDevices}, 0, nullptr,
                                           size) == kAudioHardwareNotRunningError;
    }));
    // What was queued still comes back, played by the clock; refilling it is refused.
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return feeder.refused > 0; }));
    AudioQueueBufferRef spare = nullptr;
    ASSERT_EQ(queue->allocateBuffer(4096 * 8, spare), 0);
    feeder.fill(spare);
    EXPECT_EQ(queue->enqueueBuffer(spare), kAudioHardwareNotRunningError);
    feeder.refill = false;
    EXPECT_EQ(queue->stop(false), 0);
    std::uint32_t running = 1;
    EXPECT_TRUE(
        PipeWireDaemon::waitFor([&] { return queue->getIsRunning(running) == 0 && running == 0; }));
    queue.reset();

    OutputQueueOptions again;
    again.format = stereoFloat();
    again.callback = [](OutputQueue&, AudioQueueBufferRef) {};
    auto refused = newOutputQueue(*system, std::move(again));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), kAudioHardwareNotRunningError);
}

}  // namespace
}  // namespace pellimar::audio
