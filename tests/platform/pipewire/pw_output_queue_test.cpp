// The output queue on PipeWire against a private daemon with WirePlumber.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <thread>

#include "platform/audio_queue/audio_queue.hpp"
#include "platform/audio_system/pipewire/pw_audio_system.hpp"
#include "platform/run_loop/run_loop.hpp"
#include "tests/support/pipewire_daemon.hpp"

namespace pellimar::audio {
namespace {

using testing::PipeWireDaemon;

constexpr const char* kBundleID = "org.pellimar.queue-test";

AudioStreamBasicDescription stereoFloat() {
    AudioStreamBasicDescription f;
    f.mSampleRate = 48000;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    f.mBytesPerPacket = 8;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 8;
    f.mChannelsPerFrame = 2;
    f.mBitsPerChannel = 32;
    return f;
}

// Feeds a queue with a 1 kHz tone and counts the buffers it hands back.
struct Feeder {
    std::atomic<int> callbacks{0};
    std::atomic<bool> offLoopThread{false};
    std::atomic<bool> refill{true};
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
                queue.enqueueBuffer(buffer);
            }
        };
    }
};

class PipeWireQueueTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (PipeWireDaemon::installed()) {
            daemon_ = std::make_unique<PipeWireDaemon>();
            PipeWireDaemon::createNullNode("queue-speakers", "Speakers", "Audio/Sink", 2);
            PipeWireDaemon::createNullNode("queue-other", "Other", "Audio/Sink", 2);
        }
    }
    static void TearDownTestSuite() { daemon_.reset(); }

    void SetUp() override {
        PELLIMAR_REQUIRE_PIPEWIRE();
        ASSERT_EQ(daemon_->error(), "");
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

    static std::unique_ptr<PipeWireDaemon> daemon_;
    std::unique_ptr<pipewire::PipeWireAudioSystem> system_;
};

std::unique_ptr<PipeWireDaemon> PipeWireQueueTest::daemon_;

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
    const int before = feeder.callbacks;
    EXPECT_TRUE(PipeWireDaemon::waitFor([&] { return feeder.callbacks > before + 3; }));
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
