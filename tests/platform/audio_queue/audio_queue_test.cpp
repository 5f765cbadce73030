#include "platform/audio_queue/audio_queue.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/device_queries/device_queries.hpp"
#include "platform/run_loop/run_loop.hpp"
#include "tests/platform/audio_queue/fake_output_devices.hpp"
#include "tests/platform/audio_queue/test_support.hpp"

namespace pellimar::testing {
namespace {

using namespace std::chrono_literals;

AudioStreamBasicDescription stereo16(double rate = 48000) {
    return packedPcmFormat(rate, 2, SampleType::int16);
}

// Fills a buffer with frames whose samples are `base`, `base` + 1, ...
void fill(AudioQueueBufferRef buffer, std::uint32_t frames, std::int16_t base) {
    auto* samples = static_cast<std::int16_t*>(buffer->mAudioData);
    for (std::uint32_t i = 0; i < frames * 2; ++i) {
        samples[i] = std::int16_t(base + std::int16_t(i));
    }
    buffer->mAudioDataByteSize = frames * 4;
}

// Collects the buffers handed back, with the thread they came on.
struct Returns {
    std::mutex lock;
    std::vector<AudioQueueBufferRef> buffers;
    std::vector<std::thread::id> threads;
    std::size_t count() {
        std::lock_guard guard(lock);
        return buffers.size();
    }
    OutputCallback callback() {
        return [this](OutputQueue&, AudioQueueBufferRef buffer) {
            std::lock_guard guard(lock);
            buffers.push_back(buffer);
            threads.push_back(std::this_thread::get_id());
        };
    }
};

class AudioQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("PELLIMAR_SIM_RECORD_DIR", records.path().c_str(), 1); }
    void TearDown() override { ::unsetenv("PELLIMAR_SIM_RECORD_DIR"); }

    std::unique_ptr<OutputQueue> open(OutputCallback callback, RunLoop* loop = nullptr) {
        OutputQueueOptions options;
        options.format = stereo16();
        options.callback = std::move(callback);
        options.callbackLoop = loop;
        options.bundleID = "org.example.test";
        auto queue = newOutputQueue(system, std::move(options));
        EXPECT_TRUE(queue.ok());
        return queue.ok() ? std::move(queue).value() : nullptr;
    }

    TempDir records;
    FakeOutputDevices system;
};

TEST_F(AudioQueueTest, RefusesWhatItCannotPlay) {
    OutputQueueOptions options;
    options.format = stereo16();
    EXPECT_EQ(newOutputQueue(system, options).error(), kAudioQueueErr_InvalidParameter);

    options.callback = [](OutputQueue&, AudioQueueBufferRef) {};
    options.format.mBytesPerFrame = 3;
    EXPECT_EQ(newOutputQueue(system, options).error(), kAudioFormatUnsupportedDataFormatError);
    options.format = stereo16();
    options.format.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    EXPECT_EQ(newOutputQueue(system, options).error(), kAudioFormatUnsupportedDataFormatError);

    options.format = stereo16();
    system.refuseRegistration = true;
    EXPECT_EQ(newOutputQueue(system, options).error(), kAudioHardwareNotRunningError);
    EXPECT_TRUE(system.events().empty());
}

TEST_F(AudioQueueTest, EnqueueChecksTheBuffer) {
    auto queue = open([](OutputQueue&, AudioQueueBufferRef) {});
    AudioQueueBuffer foreign{16, nullptr, 16};
    EXPECT_EQ(queue->enqueueBuffer(&foreign), kAudioQueueErr_InvalidBuffer);

    AudioQueueBufferRef buffer = nullptr;
    ASSERT_EQ(queue->allocateBuffer(64, buffer), 0);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->mAudioDataBytesCapacity, 64u);
    buffer->mAudioDataByteSize = 0;
    EXPECT_EQ(queue->enqueueBuffer(buffer), kAudioQueueErr_BufferEmpty);
    buffer->mAudioDataByteSize = 6;  // half a frame too many
    EXPECT_EQ(queue->enqueueBuffer(buffer), kAudioQueueErr_InvalidParameter);
    buffer->mAudioDataByteSize = 68;
    EXPECT_EQ(queue->enqueueBuffer(buffer), kAudioQueueErr_InvalidParameter);
    buffer->mAudioDataByteSize = 64;
    EXPECT_EQ(queue->enqueueBuffer(buffer), 0);
    EXPECT_EQ(queue->enqueueBuffer(buffer), kAudioQueueErr_BufferInQueue);
}

TEST_F(AudioQueueTest, PlaysInOrderAndHandsBackOnItsOwnThread) {
    Returns returns;
    auto queue = open(returns.callback());
    std::vector<AudioQueueBufferRef> buffers(3);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(queue->allocateBuffer(480 * 4, buffers[i]), 0);
        fill(buffers[i], 480, std::int16_t(1000 * (i + 1)));
        ASSERT_EQ(queue->enqueueBuffer(buffers[i]), 0);
    }
    std::uint32_t running = 7;
    ASSERT_EQ(queue->getIsRunning(running), 0);
    EXPECT_EQ(running, 0u);
    ASSERT_EQ(queue->start(), 0);
    ASSERT_EQ(queue->getIsRunning(running), 0);
    EXPECT_EQ(running, 1u);

    ASSERT_TRUE(eventually([&] { return returns.count() == 3; }));
    {
        std::lock_guard guard(returns.lock);
        EXPECT_EQ(returns.buffers, buffers);
        for (auto id : returns.threads) {
            EXPECT_NE(id, std::this_thread::get_id());
        }
    }
    // Starving is not stopping.
    ASSERT_EQ(queue->getIsRunning(running), 0);
    EXPECT_EQ(running, 1u);
    queue.reset();

    const auto events = system.events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.front(), "register org.example.test");
    EXPECT_EQ(events[1], "running 1");
    EXPECT_EQ(events[events.size() - 2], "running 0");
    EXPECT_EQ(events.back(), "end");

    // Three buffers back to back, then the starved tail up to the stop as silence.
    const auto files = recordings(records.path());
    ASSERT_EQ(files.size(), 1u);
    const Recording recording = readRecording(files[0]);
    EXPECT_EQ(recording.sampleRate, 48000);
    EXPECT_EQ(recording.channels, 2);
    ASSERT_GE(recording.samples.size(), 3u * 960);
    for (int i = 0; i < 3; ++i) {
        for (int k = 0; k < 960; ++k) {
            ASSERT_EQ(recording.samples[std::size_t(i * 960 + k)],
                      std::int16_t(1000 * (i + 1) + k));
        }
    }
    for (std::size_t k = 3 * 960; k < recording.samples.size(); ++k) {
        ASSERT_EQ(recording.samples[k], 0);
    }
}

TEST_F(AudioQueueTest, DrainPlaysOutThenStopsAndRecordsExactly) {
    Returns returns;
    auto queue = open(returns.callback());
    AudioQueueBufferRef a = nullptr;
    AudioQueueBufferRef b = nullptr;
    ASSERT_EQ(queue->allocateBuffer(2400 * 4, a), 0);
    ASSERT_EQ(queue->allocateBuffer(2400 * 4, b), 0);
    fill(a, 2400, 1);
    fill(b, 1000, -3000);
    ASSERT_EQ(queue->enqueueBuffer(a), 0);
    ASSERT_EQ(queue->enqueueBuffer(b), 0);
    ASSERT_EQ(queue->start(), 0);
    ASSERT_EQ(queue->stop(false), 0);

    std::uint32_t running = 1;
    ASSERT_TRUE(eventually([&] { return queue->getIsRunning(running) == 0 && running == 0; }));
    EXPECT_EQ(returns.count(), 2u);
    queue.reset();

    const auto files = recordings(records.path());
    ASSERT_EQ(files.size(), 1u);
    const Recording recording = readRecording(files[0]);
    ASSERT_EQ(recording.samples.size(), std::size_t(3400 * 2));
    for (int k = 0; k < 4800; ++k) {
        ASSERT_EQ(recording.samples[std::size_t(k)], std::int16_t(1 + k));
    }
    for (int k = 0; k < 2000; ++k) {
        ASSERT_EQ(recording.samples[std::size_t(4800 + k)], std::int16_t(-3000 + k));
    }

    std::ifstream sidecarFile(files[0].substr(0, files[0].size() - 4) + ".json");
    const auto sidecar = nlohmann::json::parse(sidecarFile);
    EXPECT_EQ(sidecar["frames"], 3400);
    EXPECT_EQ(sidecar["bundleID"], "org.example.test");
    EXPECT_TRUE(sidecar["startedAtMs"].is_number());
    EXPECT_EQ(sidecar["closed"], true);
}

TEST_F(AudioQueueTest, StarvationIsRecordedAsSilence) {
    Returns returns;
    auto queue = open(returns.callback());
    AudioQueueBufferRef buffer = nullptr;
    ASSERT_EQ(queue->allocateBuffer(480 * 4, buffer), 0);
    fill(buffer, 480, 5);
    ASSERT_EQ(queue->enqueueBuffer(buffer), 0);
    ASSERT_EQ(queue->start(), 0);
    ASSERT_TRUE(eventually([&] { return returns.count() == 1; }));
    std::this_thread::sleep_for(100ms);  // at least this much silence is heard
    EXPECT_EQ(queue->statistics().underruns, 0u);
    fill(buffer, 480, 7);
    ASSERT_EQ(queue->enqueueBuffer(buffer), 0);
    ASSERT_EQ(queue->stop(false), 0);
    std::uint32_t running = 1;
    ASSERT_TRUE(eventually([&] { return queue->getIsRunning(running) == 0 && running == 0; }));
    // The gap is one underrun; a simulated output has no graph and so no quantum.
    EXPECT_EQ(queue->statistics().underruns, 1u);
    EXPECT_EQ(queue->statistics().quantumFrames, 0u);
    queue.reset();

    const Recording recording = readRecording(recordings(records.path()).at(0));
    const std::size_t gapSamples = recording.samples.size() - 2 * 960;
    EXPECT_GE(gapSamples, std::size_t(0.1 * 48000 * 2) - 2);
    EXPECT_EQ(recording.samples[0], 5);
    EXPECT_EQ(recording.samples[959], 5 + 959);
    for (std::size_t k = 960; k < 960 + gapSamples; ++k) {
        ASSERT_EQ(recording.samples[k], 0);
    }
    EXPECT_EQ(recording.samples[960 + gapSamples], 7);
    EXPECT_EQ(recording.samples.back(), 7 + 959);
}

TEST_F(AudioQueueTest, ImmediateStopDiscardsAndSilencesCallbacks) {
    Returns returns;
    auto queue = open(returns.callback());
    for (int i = 0; i < 3; ++i) {
        AudioQueueBufferRef buffer = nullptr;
        ASSERT_EQ(queue->allocateBuffer(9600 * 4, buffer), 0);  // 200 ms each
        fill(buffer, 9600, 1);
        ASSERT_EQ(queue->enqueueBuffer(buffer), 0);
    }
    ASSERT_EQ(queue->start(), 0);
    ASSERT_EQ(queue->stop(true), 0);
    const std::size_t returned = returns.count();
    std::uint32_t running = 1;
    ASSERT_EQ(queue->getIsRunning(running), 0);
    EXPECT_EQ(running, 0u);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(returns.count(), returned);
    // A stopped queue can be started again with the buffers the caller got back.
    ASSERT_EQ(queue->start(), 0);
    ASSERT_EQ(queue->getIsRunning(running), 0);
    EXPECT_EQ(running, 1u);
    queue.reset();
    const Recording recording = readRecording(recordings(records.path()).at(0));
    EXPECT_LT(recording.samples.size(), std::size_t(3 * 9600 * 2));
}

TEST_F(AudioQueueTest, CallbacksCanRefillFromTheQueueThread) {
    std::atomic<int> played{0};
    auto queue = open([&](OutputQueue& q, AudioQueueBufferRef buffer) {
        if (++played < 20) {
            fill(buffer, 240, std::int16_t(played.load()));
            q.enqueueBuffer(buffer);
        } else {
            q.stop(false);
        }
    });
    for (int i = 0; i < 3; ++i) {
        AudioQueueBufferRef buffer = nullptr;
        ASSERT_EQ(queue->allocateBuffer(240 * 4, buffer), 0);
        fill(buffer, 240, 0);
        ASSERT_EQ(queue->enqueueBuffer(buffer), 0);
    }
    ASSERT_EQ(queue->start(), 0);
    std::uint32_t running = 1;
    ASSERT_TRUE(eventually([&] { return queue->getIsRunning(running) == 0 && running == 0; }));
    EXPECT_GE(played.load(), 20);
}

TEST_F(AudioQueueTest, CallbacksCanBeDeliveredOnARunLoop) {
    RunLoop loop;
    Returns returns;
    auto queue = open(returns.callback(), &loop);
    AudioQueueBufferRef buffer = nullptr;
    ASSERT_EQ(queue->allocateBuffer(480 * 4, buffer), 0);
    fill(buffer, 480, 1);
    ASSERT_EQ(queue->enqueueBuffer(buffer), 0);
    ASSERT_EQ(queue->start(), 0);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (returns.count() == 0 && std::chrono::steady_clock::now() < deadline) {
        loop.runFor(10ms);
    }
    ASSERT_EQ(returns.count(), 1u);
    std::lock_guard guard(returns.lock);
    EXPECT_EQ(returns.threads[0], std::this_thread::get_id());
}

TEST_F(AudioQueueTest, PostedCallbacksAreDroppedAfterAnImmediateStop) {
    RunLoop loop;
    Returns returns;
    auto queue = open(returns.callback(), &loop);
    AudioQueueBufferRef buffer = nullptr;
    ASSERT_EQ(queue->allocateBuffer(48 * 4, buffer), 0);
    fill(buffer, 48, 1);
    ASSERT_EQ(queue->enqueueBuffer(buffer), 0);
    ASSERT_EQ(queue->start(), 0);
    std::this_thread::sleep_for(100ms);  // the buffer has long been handed back to the loop
    ASSERT_EQ(queue->stop(true), 0);
    loop.runFor(50ms);
    EXPECT_EQ(returns.count(), 0u);
}

TEST_F(AudioQueueTest, CurrentDeviceMustExist) {
    system.devices.push_back({5, "uid-five", "Five", kAudioDeviceTransportTypeBuiltIn, {2}});
    auto queue = open([](OutputQueue&, AudioQueueBufferRef) {});
    EXPECT_EQ(queue->setCurrentDevice("uid-five"), 0);
    EXPECT_EQ(queue->setCurrentDevice("uid-six"), kAudioQueueErr_InvalidDevice);
    EXPECT_EQ(queue->setCurrentDevice(""), kAudioQueueErr_InvalidDevice);
}

}  // namespace
}  // namespace pellimar::testing
