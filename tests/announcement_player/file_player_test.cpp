#include "announcement_player/stereo_file_player.hpp"

#include <sndfile.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/announcement_player/sim_support.hpp"
#include "tests/platform/audio_queue/test_support.hpp"
#include "tests/player/e2e_support.hpp"

namespace pellimar::announcement {
namespace {

using namespace std::chrono_literals;
using testing::SimMachine;

std::string writeTone(const std::string& path, int rate, int frames, int channels = 2) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    std::vector<float> samples(std::size_t(frames * channels), 0.5f);
    sf_writef_float(file, samples.data(), frames);
    sf_close(file);
    return path;
}

TEST(FadeVolume, StepsInTwentiethsFromTheFirstBufferToTheLast) {
    const Fades fades{1.0, 1.0};
    const double rate = 48000;
    const std::int64_t length = 480000;  // 10 s
    EXPECT_EQ(fadeVolume(fades, rate, length, 0, 4096), 0.0f);
    EXPECT_EQ(fadeVolume(fades, rate, length, 2400, 4096), 0.05f);
    EXPECT_EQ(fadeVolume(fades, rate, length, 47999, 1), 0.95f);
    EXPECT_EQ(fadeVolume(fades, rate, length, 48000, 4096), 1.0f);
    // The fade-out starts 1 s before the end; the buffer that ends the file is silent.
    EXPECT_EQ(fadeVolume(fades, rate, length, 400000, 4096), 1.0f);
    EXPECT_EQ(fadeVolume(fades, rate, length, 432000 - 4096, 4096), 1.0f);
    EXPECT_EQ(fadeVolume(fades, rate, length, 432000, 2400), 0.95f);
    EXPECT_EQ(fadeVolume(fades, rate, length, length - 4096, 4096), 0.0f);
    // A fade-out longer than the file starts with it and is fitted to it.
    EXPECT_EQ(fadeVolume({0, 20}, rate, length, 0, 24000), 0.95f);
    EXPECT_EQ(fadeVolume({0, 20}, rate, length, length - 4096, 4096), 0.0f);
    EXPECT_EQ(fadeVolume({}, rate, length, 0, 4096), 1.0f);
}

class FilePlayerTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("PELLIMAR_SIM_RECORD_DIR", records.path().c_str(), 1); }
    void TearDown() override { ::unsetenv("PELLIMAR_SIM_RECORD_DIR"); }

    PlayerResult<std::unique_ptr<StereoFilePlayer>> create(const std::string& path,
                                                           Fades fades = {}) {
        return StereoFilePlayer::create(*machine.system, path, fades, files / "buffer.log");
    }

    testing::TempDir records;
    testing::TempDir files;
    SimMachine machine;
};

TEST_F(FilePlayerTest, FailuresNameTheStepAndTheStatus) {
    EXPECT_EQ(create(files / "missing.wav").error().description(),
              "Unable to open audio file (-43).");
    testing::writeText(files / "text.wav", "no audio in here at all, none whatsoever");
    EXPECT_EQ(create(files / "text.wav").error().description(),
              "Unable to open audio file (1954115647).");
}

TEST_F(FilePlayerTest, PlaysAShortFileOutAtItsOwnRateAndLogsTheFirstBuffer) {
    ::testing::internal::CaptureStderr();
    auto player = create(writeTone(files / "short.wav", 44100, 5000));
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(player);
    EXPECT_NE(err.find("[announcement-player] first buffer Lmax=0.5 Rmax=0.5 frames=4096\n"),
              std::string::npos);
    EXPECT_NE(err.find("[announcement-player] AudioQueue stereo 2ch interleaved @ 44100 Hz\n"),
              std::string::npos);
    EXPECT_EQ(testing::readText(files / "buffer.log"),
              "[announcement-player] first buffer Lmax=0.5 Rmax=0.5 frames=4096\n");
    EXPECT_NEAR((*player)->duration(), 5000.0 / 44100, 1e-9);
    ASSERT_TRUE((*player)->play());
    EXPECT_TRUE(testing::eventually([&] { return !(*player)->isPlaying(); }));
    (*player)->stop();
    (*player)->stop();
    player->reset();
    const auto heard = testing::readFloatRecording(testing::recordings(records.path()).at(0));
    EXPECT_EQ(heard.sampleRate, 44100);
    EXPECT_EQ(heard.samples.size(), 10000u);
}

TEST_F(FilePlayerTest, AFileWithoutFramesEndsAtOnce) {
    auto player = create(writeTone(files / "empty.wav", 48000, 0));
    ASSERT_TRUE(player);
    ASSERT_TRUE((*player)->play());
    EXPECT_FALSE((*player)->isPlaying());
    EXPECT_FALSE(std::filesystem::exists(files / "buffer.log"));
}

TEST_F(FilePlayerTest, TheBufferLogIsReplacedNeverWrittenThrough) {
    const std::string victim = files / "victim.txt";
    testing::writeText(victim, "keep me");
    std::filesystem::create_symlink(victim, files / "buffer.log");
    ASSERT_TRUE(create(writeTone(files / "a.wav", 48000, 100, 1)));
    EXPECT_EQ(testing::readText(victim), "keep me");
    EXPECT_FALSE(std::filesystem::is_symlink(files / "buffer.log"));
    EXPECT_EQ(testing::readText(files / "buffer.log"),
              "[announcement-player] first buffer Lmax=0.5 Rmax=0.5 frames=100\n");
}

// A signal's stop comes from another thread while the caller waits out a fade-in and polls.
TEST_F(FilePlayerTest, StopFromAnotherThreadEndsAFadeInAndPlaybackOnce) {
    auto player = create(writeTone(files / "long.wav", 48000, 48000 * 20), {30.0, 0});
    ASSERT_TRUE(player);
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        (*player)->stop();
        (*player)->stop();
    });
    std::thread poller([&] {
        while ((*player)->isPlaying()) {
            std::this_thread::sleep_for(1ms);
        }
    });
    ASSERT_TRUE((*player)->play());  // returns at the stop, long before the 30 s fade-in
    poller.join();
    stopper.join();
    EXPECT_FALSE((*player)->isPlaying());
    (*player)->stop();
}

}  // namespace
}  // namespace pellimar::announcement
