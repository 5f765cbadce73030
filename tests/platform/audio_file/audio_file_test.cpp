#include "platform/audio_file/audio_file.hpp"

#include <sndfile.h>
#include <sys/stat.h>

#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "platform/device_queries/device_queries.hpp"
#include "tests/support/temp_dir.hpp"

namespace pellimar::audio {
namespace {

using testing::TempDir;

// Frame i of channel c holds (i * 8 + c) / 32768, exact in 16-bit PCM.
std::string writeWav(const std::string& path, int channels, int rate, int frames) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr);
    std::vector<short> samples;
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            samples.push_back(short(i * 8 + c));
        }
    }
    sf_writef_short(file, samples.data(), frames);
    sf_close(file);
    return path;
}

AudioStreamBasicDescription stereoFloat(double rate) {
    return packedPcmFormat(rate, 2, SampleType::float32);
}

std::vector<float> readAll(AudioFile& file) {
    std::vector<float> all;
    std::vector<float> chunk(2 * 100);
    for (;;) {
        std::uint32_t frames = 100;
        EXPECT_EQ(file.read(frames, chunk.data()), 0);
        if (frames == 0) {
            return all;
        }
        all.insert(all.end(), chunk.begin(), chunk.begin() + 2 * frames);
    }
}

TEST(AudioFile, DeliversStereoFramesFromMonoStereoAndWiderFiles) {
    TempDir dir;
    struct Case {
        int channels;
        int rate;
    };
    for (Case c : {Case{1, 44100}, Case{2, 48000}, Case{4, 22050}}) {
        SCOPED_TRACE(c.channels);
        auto file = openAudioFile(writeWav(dir / "f.wav", c.channels, c.rate, 250));
        ASSERT_TRUE(file);
        AudioStreamBasicDescription format;
        ASSERT_EQ((*file)->getFileDataFormat(format), 0);
        EXPECT_EQ(format.mSampleRate, c.rate);
        EXPECT_EQ(format.mChannelsPerFrame, std::uint32_t(c.channels));
        std::int64_t length = 0;
        ASSERT_EQ((*file)->getFileLengthFrames(length), 0);
        EXPECT_EQ(length, 250);

        std::uint32_t frames = 10;
        float buffer[20];
        EXPECT_EQ((*file)->read(frames, buffer), kAudioFileNotOpenError);
        EXPECT_EQ((*file)->setClientDataFormat(stereoFloat(96000)),
                  kAudioFileUnsupportedDataFormatError);
        ASSERT_EQ((*file)->setClientDataFormat(stereoFloat(c.rate)), 0);
        const auto samples = readAll(**file);
        ASSERT_EQ(samples.size(), 500u);
        for (int i = 0; i < 250; ++i) {
            EXPECT_EQ(samples[2 * i], float(i * 8) / 32768);
            EXPECT_EQ(samples[2 * i + 1], float(i * 8 + (c.channels == 1 ? 0 : 1)) / 32768);
        }
    }
}

TEST(AudioFile, RefusesWhatIsNotARegularAudioFileWithTheReadersStatuses) {
    TempDir dir;
    EXPECT_EQ(openAudioFile(dir / "missing.wav").error(), kAudioFileFileNotFoundError);
    std::ofstream(dir / "text.wav") << "this is not audio at all, just some words";
    EXPECT_EQ(openAudioFile(dir / "text.wav").error(), kAudioFileUnsupportedFileTypeError);
    ASSERT_EQ(::mkfifo((dir / "fifo.wav").c_str(), 0600), 0);
    EXPECT_EQ(openAudioFile(dir / "fifo.wav").error(), kAudioFileInvalidFileError);
    EXPECT_EQ(openAudioFile(dir.path()).error(), kAudioFileInvalidFileError);
}

}  // namespace
}  // namespace pellimar::audio
