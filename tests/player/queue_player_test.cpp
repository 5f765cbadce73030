#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <thread>

#include "player/stereo_pcm_queue_player.hpp"
#include "tests/platform/audio_queue/fake_output_devices.hpp"
#include "tests/platform/audio_queue/test_support.hpp"

namespace pellimar::player {
namespace {

using pellimar::testing::withoutSilentFrames;

using namespace std::chrono_literals;
using pellimar::testing::eventually;
using pellimar::testing::FakeOutputDevices;
using pellimar::testing::readRecording;
using pellimar::testing::recordings;
using pellimar::testing::TempDir;

// PCM whose samples are never zero, so inserted silence can be told apart from the audio.
std::vector<std::uint8_t> pattern(std::size_t bytes) {
    std::vector<std::uint8_t> data(bytes);
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        const auto v = std::int16_t(1 + (i / 2) % 29999);
        data[i] = std::uint8_t(v & 0xff);
        data[i + 1] = std::uint8_t(v >> 8);
    }
    return data;
}

std::vector<std::int16_t> samplesOf(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

class QueuePlayerTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("PELLIMAR_SIM_RECORD_DIR", records.path().c_str(), 1); }
    void TearDown() override { ::unsetenv("PELLIMAR_SIM_RECORD_DIR"); }

    std::unique_ptr<StereoPcmQueuePlayer> makePlayer(std::size_t pendingLimit = 1 << 20,
                                                     Environment environment = {}) {
        StereoPcmQueuePlayer::Options options;
        options.environment = std::move(environment);
        options.pendingLimit = pendingLimit;
        options.openSystem = [this]() -> Result<std::unique_ptr<audio::AudioSystem>, std::string> {
            auto fake = std::make_unique<FakeOutputDevices>();
            fake->refuseRegistration = refuseRegistration;
            system = fake.get();
            return std::unique_ptr<audio::AudioSystem>(std::move(fake));
        };
        return std::make_unique<StereoPcmQueuePlayer>(std::move(options));
    }

    std::vector<std::int16_t> recorded() {
        const auto files = recordings(records.path());
        EXPECT_EQ(files.size(), 1u);
        return files.empty() ? std::vector<std::int16_t>{} : readRecording(files[0]).samples;
    }

    static void waitUntilPlayedOut(StereoPcmQueuePlayer& player) {
        ASSERT_TRUE(eventually([&] { return !player.isPlaying(); }));
    }

    TempDir records;
    FakeOutputDevices* system = nullptr;  // owned by the player
    bool refuseRegistration = false;
};

TEST_F(QueuePlayerTest, OddPipeChunksPlayFrameAlignedWithNothingLost) {
    auto player = makePlayer();
    const auto data = pattern(96000 + 4 * 1000);
    // Chunks that end mid-frame, as pipe reads can.
    const std::size_t sizes[] = {1, 3, 4097, 2, 16383, 5, 7};
    std::size_t offset = 0;
    std::size_t turn = 0;
    auto next = [&] {
        const std::size_t n = std::min(sizes[turn++ % 7], data.size() - offset);
        player->append(data.data() + offset, n);
        offset += n;
    };
    while (offset < 30000) {
        next();
    }
    ASSERT_TRUE(player->play().ok());
    EXPECT_TRUE(player->isPlaying());
    std::thread producer([&] {
        while (offset < data.size()) {
            next();
        }
        player->markEnd();
    });
    producer.join();
    waitUntilPlayedOut(*player);
    player->stop();
    EXPECT_EQ(withoutSilentFrames(recorded()), samplesOf(data));
}

TEST_F(QueuePlayerTest, PendingIsBoundedAndTheProducerWaits) {
    constexpr std::size_t kLimit = 64 * 1024;
    auto player = makePlayer(kLimit);
    const auto data = pattern(256 * 1024);
    std::atomic<bool> finished{false};
    std::thread producer([&] {
        for (std::size_t offset = 0; offset < data.size(); offset += 16384) {
            player->append(data.data() + offset, 16384);
        }
        player->markEnd();
        finished = true;
    });
    ASSERT_TRUE(eventually([&] { return player->bufferedBytes() >= std::int64_t(kLimit); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(finished);
    EXPECT_LE(player->bufferedBytes(), std::int64_t(kLimit + 16384));

    ASSERT_TRUE(player->play().ok());
    ASSERT_TRUE(eventually([&] { return finished.load(); }));
    producer.join();
    waitUntilPlayedOut(*player);
    player->stop();
    EXPECT_EQ(withoutSilentFrames(recorded()), samplesOf(data));
}

TEST_F(QueuePlayerTest, RacingStopsDisposeTheQueueOnceAndReleaseTheProducer) {
    auto player = makePlayer(16 * 1024);
    const auto data = pattern(16384);
    std::atomic<bool> producing{true};
    std::thread producer([&] {
        for (int i = 0; i < 1000; ++i) {
            player->append(data.data(), data.size());
        }
        producing = false;
    });
    ASSERT_TRUE(eventually([&] { return player->bufferedBytes() > 0; }));
    ASSERT_TRUE(player->play().ok());
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 4; ++i) {
        stoppers.emplace_back([&] { player->stop(); });
    }
    for (auto& t : stoppers) {
        t.join();
    }
    producer.join();  // would hang if a stop left it waiting for room
    EXPECT_FALSE(player->isPlaying());
    player->stop();
    const auto events = system->events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "end"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "running 1"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "running 0"), 1);
    EXPECT_LE(player->bufferedBytes(), 16 * 1024 + 16384);
}

TEST_F(QueuePlayerTest, SilenceWhileStarvedThenTheAudio) {
    auto player = makePlayer();
    ASSERT_TRUE(player->play().ok());
    EXPECT_TRUE(player->isPlaying());
    std::this_thread::sleep_for(50ms);
    const auto data = pattern(9600);
    player->append(data.data(), data.size());
    player->markEnd();
    waitUntilPlayedOut(*player);
    player->stop();
    const auto samples = recorded();
    ASSERT_GE(samples.size(), 4u * 4096 * 2 + 4800);
    // The four priming buffers were silent; the audio follows whole, and nothing after it.
    for (std::size_t i = 0; i < 4u * 4096 * 2; ++i) {
        ASSERT_EQ(samples[i], 0);
    }
    const auto expected = samplesOf(data);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), samples.end() - 4800));
    EXPECT_EQ(withoutSilentFrames(samples), expected);
}

TEST_F(QueuePlayerTest, InputShorterThanOneBufferPlaysOutAndStops) {
    auto player = makePlayer();
    const auto data = pattern(10000);
    player->append(data.data(), data.size());
    player->markEnd();
    ASSERT_TRUE(player->play().ok());
    waitUntilPlayedOut(*player);
    player->stop();
    EXPECT_EQ(recorded(), samplesOf(data));
    EXPECT_EQ(player->agc().state().rawFrames, 2500);
}

TEST_F(QueuePlayerTest, StopWhileDrainingDiscardsTheRest) {
    auto player = makePlayer();
    const auto data = pattern(48000 * 4 * 2);
    player->append(data.data(), data.size());
    player->markEnd();
    ASSERT_TRUE(player->play().ok());
    std::this_thread::sleep_for(100ms);
    player->stop();
    EXPECT_FALSE(player->isPlaying());
    EXPECT_LT(recorded().size(), samplesOf(data).size());
}

TEST_F(QueuePlayerTest, GainControlSeesRealChunksOnly) {
    auto player = makePlayer();
    AgcSettings enabled;
    enabled.enabled = true;
    player->agc().configure({1, enabled});
    ASSERT_TRUE(player->play().ok());
    std::this_thread::sleep_for(200ms);  // silent buffers come back and are refilled
    EXPECT_EQ(player->agc().state().status, "armed");
    EXPECT_EQ(player->agc().state().rawFrames, 0);

    std::vector<std::int16_t> loud(2 * 4800, -32768);
    player->append(reinterpret_cast<const std::uint8_t*>(loud.data()), loud.size() * 2);
    player->markEnd();
    waitUntilPlayedOut(*player);
    player->stop();
    EXPECT_TRUE(player->agc().state().peakLimited);
    const auto samples = withoutSilentFrames(recorded());
    ASSERT_EQ(samples.size(), loud.size());
    EXPECT_EQ(*std::min_element(samples.begin(), samples.end()), -27571);
}

TEST_F(QueuePlayerTest, QueueFailuresNameTheOperation) {
    refuseRegistration = true;
    auto player = makePlayer();
    auto result = player->play();
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, PlayerError::Kind::playback);
    EXPECT_EQ(result.error().description(), "AudioQueueNewOutput failed (1937010544).");

    StereoPcmQueuePlayer::Options options;
    options.environment = {};
    options.openSystem = [] {
        return Result<std::unique_ptr<audio::AudioSystem>, std::string>(
            fail(std::string("broken world")));
    };
    StereoPcmQueuePlayer unopened(std::move(options));
    EXPECT_EQ(unopened.play().error().description(), "AudioQueueNewOutput failed (1937010544).");
}

class AirPlayPreferenceTest : public ::testing::Test {
  protected:
    std::string choose() {
        audio::OutputQueueOptions options;
        StereoPcmQueuePlayer::Options playerOptions;
        playerOptions.environment = {};
        options.format = StereoPcmQueuePlayer(std::move(playerOptions)).clientFormat();
        options.callback = [](audio::OutputQueue&, audio::AudioQueueBufferRef) {};
        auto queue = audio::newOutputQueue(system, options);
        EXPECT_TRUE(queue.ok());
        ::testing::internal::CaptureStderr();
        StereoPcmQueuePlayer::preferLocalCaptureClockForAirPlay(system, *queue.value());
        return ::testing::internal::GetCapturedStderr();
    }

    FakeOutputDevices system;
};

TEST_F(AirPlayPreferenceTest, MovesToTheBuiltInStereoDeviceOnlyForAirPlay) {
    system.devices = {{2, "usb-uid", "USB Box", audio::kAudioDeviceTransportTypeUSB, {2}},
                      {3, "quad-uid", "Quad", audio::kAudioDeviceTransportTypeBuiltIn, {4}},
                      {4, "spk-uid", "Speakers", audio::kAudioDeviceTransportTypeBuiltIn, {1, 1}},
                      {9, "air-uid", "Living Room", audio::kAudioDeviceTransportTypeAirPlay, {2}}};
    system.defaultOutput = 2;
    EXPECT_EQ(choose(), "");
    system.defaultOutput = 9;
    EXPECT_EQ(choose(), "[pellimar-player] Using output device 4 (Speakers)\n");
    system.devices.erase(system.devices.begin() + 2);
    EXPECT_EQ(choose(), "");
    system.defaultOutput = 0;
    EXPECT_EQ(choose(), "");
}

}  // namespace
}  // namespace pellimar::player
