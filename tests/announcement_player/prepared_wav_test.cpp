#include "announcement_player/prepared_wav.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "tests/announcement_player/wav_builder.hpp"
#include "tests/support/temp_dir.hpp"

namespace pellimar::announcement {
namespace {

using testing::TempDir;
using testing::WavBytes;

std::string errorOf(const std::string& path) {
    auto result = readPreparedAnnouncementPCM(path);
    return result ? std::string("accepted") : result.error().description();
}

TEST(PreparedWav, ConvertsSamplesExactlyAndTakesChunksInAnyOrder) {
    TempDir dir;
    WavBytes().fmt().data({0, 0, -32768, 32767, 1, -1}).write(dir / "a.wav");
    auto samples = readPreparedAnnouncementPCM(dir / "a.wav");
    ASSERT_TRUE(samples);
    ASSERT_EQ(samples->size(), 6u);
    EXPECT_EQ((*samples)[0], 0.0f);
    EXPECT_EQ((*samples)[2], -1.0f);
    EXPECT_EQ((*samples)[3], 0.999969482421875f);
    EXPECT_EQ((*samples)[4], 0.000030517578125f);
    EXPECT_EQ((*samples)[5], -0.000030517578125f);

    // data before fmt; an odd LIST chunk with its pad byte; an extended fmt; any byte rate;
    // a trailing fragment shorter than a chunk header.
    std::string extended;
    for (auto v : {1, 2}) {
        WavBytes::put16(extended, std::uint16_t(v));
    }
    WavBytes odd;
    odd.data(testing::rampSamples(48000)).chunk("LIST", std::string(27, 'x'));
    std::string fmtBody;
    WavBytes::put16(fmtBody, 1);
    WavBytes::put16(fmtBody, 2);
    WavBytes::put32(fmtBody, 48000);
    WavBytes::put32(fmtBody, 12345);
    WavBytes::put16(fmtBody, 4);
    WavBytes::put16(fmtBody, 16);
    odd.chunk("fmt ", fmtBody + extended);
    odd.bytes += std::string(7, '\0');
    odd.write(dir / "b.wav");
    samples = readPreparedAnnouncementPCM(dir / "b.wav");
    ASSERT_TRUE(samples) << samples.error().description();
    EXPECT_EQ(samples->size(), 96000u);
    EXPECT_EQ((*samples)[95998], 1000.0f / 32768);

    // A later data chunk replaces an earlier one; an odd chunk at the very end may lack its pad.
    WavBytes()
        .fmt()
        .data({5, 5})
        .data({7, 7, 8, 8})
        .chunk("junk", "abc", false)
        .write(dir / "c.wav");
    samples = readPreparedAnnouncementPCM(dir / "c.wav");
    ASSERT_TRUE(samples);
    EXPECT_EQ(samples->size(), 4u);
    EXPECT_EQ((*samples)[0], 7.0f / 32768);
}

TEST(PreparedWav, RefusesBrokenFilesWithTheirMessages) {
    TempDir dir;
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return dir / name;
    };
    const std::string valid = WavBytes().fmt().data({1, 1}).finish();
    EXPECT_EQ(errorOf(write("short", valid.substr(0, 11))), kInvalidWav);
    EXPECT_EQ(errorOf(write("twelve-bad", std::string("RIFF\5\0\0\0WAVE", 12))), kInvalidWav);
    EXPECT_EQ(errorOf(write("twelve", std::string("RIFF\4\0\0\0WAVE", 12))), kWrongFormat);
    EXPECT_EQ(errorOf(write("riff-less", WavBytes().fmt().data({1, 1}).finish(-1))), kInvalidWav);
    EXPECT_EQ(errorOf(write("riff-more", WavBytes().fmt().data({1, 1}).finish(1))), kInvalidWav);
    EXPECT_EQ(errorOf(write("trailing", valid + "xx")), kInvalidWav);
    std::string rifx = valid;
    rifx[3] = 'X';
    EXPECT_EQ(errorOf(write("rifx", rifx)), kInvalidWav);
    std::string wave = valid;
    wave[8] = 'w';
    EXPECT_EQ(errorOf(write("wave", wave)), kInvalidWav);

    // A chunk claiming more than follows it, whatever its id: a huge declared size is refused
    // before anything of that size is read or allocated.
    WavBytes huge;
    huge.fmt();
    huge.bytes += "data";
    WavBytes::put32(huge.bytes, 0xFFFFFFF0u);
    huge.bytes += std::string(8, '\0');
    EXPECT_EQ(errorOf(write("huge", huge.finish())), kInvalidChunkBounds);
    WavBytes oddPadMissingMidway;
    oddPadMissingMidway.chunk("LIST", std::string(27, 'x'), false).fmt().data({1, 1});
    // Without its pad byte the walk lands one byte early and misreads the next header.
    EXPECT_NE(errorOf(write("no-pad", oddPadMissingMidway.finish())), "accepted");

    EXPECT_EQ(errorOf(write("no-fmt", WavBytes().data({1, 1}).finish())), kWrongFormat);
    EXPECT_EQ(errorOf(write("no-data", WavBytes().fmt().finish())), kWrongFormat);
    EXPECT_EQ(errorOf(write("empty-data", WavBytes().fmt().data({}).finish())), kWrongFormat);
    EXPECT_EQ(errorOf(write("half-frame", WavBytes().fmt().data({1}).finish())), kWrongFormat);
    EXPECT_EQ(errorOf(write("ragged", WavBytes().fmt().data({1, 2, 3}).finish())), kWrongFormat);
    for (auto [tag, channels, rate, align, bits] :
         {std::tuple{1, 2, 44100, 4, 16}, std::tuple{1, 1, 48000, 4, 16},
          std::tuple{1, 2, 48000, 4, 24}, std::tuple{1, 2, 48000, 6, 16},
          std::tuple{0xFFFE, 2, 48000, 4, 16}}) {
        WavBytes wav;
        wav.fmt(std::uint16_t(tag), std::uint16_t(channels), std::uint32_t(rate),
                std::uint16_t(align), std::uint16_t(bits));
        EXPECT_EQ(errorOf(write("format", wav.data({1, 1}).finish())), kWrongFormat) << tag;
    }
    // A short fmt body never matches, and a later fmt chunk overrides an earlier good one.
    EXPECT_EQ(errorOf(write("short-fmt",
                            WavBytes().chunk("fmt ", std::string(14, '\0')).data({1, 1}).finish())),
              kWrongFormat);
    EXPECT_EQ(errorOf(write("fmt-override", WavBytes().fmt().data({1, 1}).fmt(1, 1).finish())),
              kWrongFormat);
}

TEST(PreparedWav, MissingAndSpecialFilesFailWithoutBlocking) {
    TempDir dir;
    EXPECT_EQ(errorOf(dir / "missing.wav"), std::strerror(ENOENT));
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(errorOf(dir / "fifo"), kInvalidWav);  // would block for ever if read
    EXPECT_EQ(errorOf("/dev/zero"), kInvalidWav);   // would never end if read
    EXPECT_EQ(errorOf(dir.path()), kInvalidWav);
}

// Sparse files keep these cheap on disk; the largest accepted clip is converted in full.
TEST(PreparedWav, SizeAndLengthLimitsAreExact) {
    TempDir dir;
    auto sparse = [&](const std::string& name, std::int64_t size, std::int64_t dataBytes) {
        const std::string path = dir / name;
        WavBytes header;
        header.fmt();
        header.bytes += "data";
        WavBytes::put32(header.bytes, std::uint32_t(dataBytes));
        std::string bytes = header.bytes;
        const auto riff = std::uint32_t(size - 8);
        for (int i = 0; i < 4; ++i) {
            bytes[4 + i] = char((riff >> (8 * i)) & 0xFF);
        }
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        EXPECT_EQ(::ftruncate(fd, size), 0);
        ::close(fd);
        return path;
    };
    const std::int64_t headerBytes = 44;
    const std::int64_t longest = kLongestAnnouncementFrames * 4;
    EXPECT_EQ(errorOf(sparse("too-long", headerBytes + longest + 4, longest + 4)), kWrongFormat);
    EXPECT_EQ(errorOf(sparse("too-large", kLargestAnnouncementFile + 1, 4)), kFileTooLarge);
    // The largest file passes the size test (and is then judged by its content).
    EXPECT_EQ(errorOf(sparse("largest", kLargestAnnouncementFile,
                             kLargestAnnouncementFile - headerBytes)),
              kWrongFormat);
    auto samples = readPreparedAnnouncementPCM(sparse("longest", headerBytes + longest, longest));
    ASSERT_TRUE(samples) << samples.error().description();
    EXPECT_EQ(samples->size(), std::size_t(kLongestAnnouncementFrames) * 2);
}

}  // namespace
}  // namespace pellimar::announcement
