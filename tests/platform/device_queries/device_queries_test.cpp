#include "platform/device_queries/device_queries.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "tests/platform/audio_queue/fake_output_devices.hpp"
#include "tests/platform/device_queries/device_recording_queue.hpp"

namespace pellimar::testing {
namespace {

// Answers every stream-configuration read with scripted bytes and statuses.
class ScriptedConfiguration final : public FakeOutputDevices {
  public:
    Status sizeStatus = 0;
    Status readStatus = 0;
    std::uint32_t reportedSize = 0;
    std::vector<std::uint8_t> answer;  // written up to the room offered
    std::uint32_t offeredRoom = 0;
    int reads = 0;

    Status getPropertyDataSize(ObjectID, const AudioObjectPropertyAddress&, std::uint32_t,
                               const void*, std::uint32_t& outSize) override {
        outSize = reportedSize;
        return sizeStatus;
    }
    Status getPropertyData(ObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*,
                           std::uint32_t& ioSize, void* outData) override {
        ++reads;
        offeredRoom = ioSize;
        if (readStatus != 0) {
            return readStatus;
        }
        ioSize = std::min<std::uint32_t>(ioSize, std::uint32_t(answer.size()));
        std::memcpy(outData, answer.data(), ioSize);
        return 0;
    }
};

std::vector<std::uint8_t> bufferList(std::uint32_t claimed, std::vector<std::uint32_t> channels) {
    std::vector<std::uint8_t> bytes(audioBufferListSize(std::uint32_t(channels.size())), 0);
    std::memcpy(bytes.data(), &claimed, 4);
    for (std::size_t i = 0; i < channels.size(); ++i) {
        AudioBuffer buffer{channels[i], 0, nullptr};
        std::memcpy(bytes.data() + audioBufferListSize(std::uint32_t(i)), &buffer, sizeof buffer);
    }
    return bytes;
}

const AudioObjectPropertyAddress kOutputConfiguration{kAudioDevicePropertyStreamConfiguration,
                                                      kAudioObjectPropertyScopeOutput};

TEST(StreamChannelCount, CountsOnlyTheBuffersThePlatformReallyWrote) {
    ScriptedConfiguration system;
    system.answer = bufferList(2, {2, 6});
    system.reportedSize = std::uint32_t(system.answer.size());
    auto both = streamChannelCount(system, 5, kOutputConfiguration);
    ASSERT_TRUE(both);
    EXPECT_EQ(*both, 8);

    // A count beyond the delivered bytes, and a list cut short in its second buffer.
    system.answer = bufferList(1000, {2, 6});
    EXPECT_EQ(*streamChannelCount(system, 5, kOutputConfiguration), 8);
    system.answer.resize(audioBufferListSize(1) + 4);
    EXPECT_EQ(*streamChannelCount(system, 5, kOutputConfiguration), 2);
    system.answer.resize(4);
    EXPECT_EQ(*streamChannelCount(system, 5, kOutputConfiguration), 0);
}

TEST(StreamChannelCount, SaysWhichCallFailedAndOffersTheMinimumRoom) {
    ScriptedConfiguration system;
    system.sizeStatus = kAudioHardwareBadObjectError;
    auto sizeFailure = streamChannelCount(system, 5, kOutputConfiguration);
    ASSERT_FALSE(sizeFailure);
    EXPECT_TRUE(sizeFailure.error().sizeQuery);
    EXPECT_EQ(sizeFailure.error().status, kAudioHardwareBadObjectError);
    EXPECT_EQ(system.reads, 0);

    system.sizeStatus = 0;
    system.readStatus = kAudioHardwareBadPropertySizeError;
    system.reportedSize = 8;
    auto readFailure = streamChannelCount(system, 5, kOutputConfiguration, 24);
    ASSERT_FALSE(readFailure);
    EXPECT_FALSE(readFailure.error().sizeQuery);
    EXPECT_EQ(readFailure.error().status, kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(system.offeredRoom, 24u);

    // Nothing to read: no read is made and nothing is counted.
    system.reportedSize = 0;
    system.reads = 0;
    EXPECT_EQ(*streamChannelCount(system, 5, kOutputConfiguration), 0);
    EXPECT_EQ(system.reads, 0);
}

TEST(PackedPcmFormat, FrameSizesFollowChannelsAndSampleType) {
    const auto stereo16 = packedPcmFormat(48000, 2, SampleType::int16);
    EXPECT_EQ(stereo16.mFormatFlags, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked);
    EXPECT_EQ(stereo16.mBytesPerFrame, 4u);
    EXPECT_EQ(stereo16.mBytesPerPacket, 4u);
    EXPECT_EQ(stereo16.mBitsPerChannel, 16u);

    const auto six = packedPcmFormat(44100, 6, SampleType::float32);
    EXPECT_EQ(six.mSampleRate, 44100);
    EXPECT_EQ(six.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(six.mFormatFlags, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked);
    EXPECT_EQ(six.mBytesPerFrame, 24u);
    EXPECT_EQ(six.mFramesPerPacket, 1u);
    EXPECT_EQ(six.mChannelsPerFrame, 6u);
}

TEST(MoveQueueToDevice, MovesByUIDAndLogsTheOutcome) {
    FakeOutputDevices system;
    system.devices.push_back({7, "uid-7", "Desk Speakers", kAudioDeviceTransportTypeBuiltIn, {2}});
    DeviceRecordingQueue queue;
    // Journal priorities on, so that each line also says its level.
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
    const LogWriter log("", LogSettings{.journal = true, .unknownValue = {}}, fds[1]);
    auto lines = [&] {
        std::string text(4096, '\0');
        const ssize_t n = ::read(fds[0], text.data(), text.size());
        text.resize(n > 0 ? std::size_t(n) : 0);
        return text;
    };

    EXPECT_EQ(moveQueueToDevice(system, queue, kAudioObjectUnknown, log), 0u);
    // No such device: its UID cannot be read.
    EXPECT_EQ(moveQueueToDevice(system, queue, 99, log), 0u);
    EXPECT_TRUE(queue.devices.empty());
    EXPECT_EQ(lines(), "");

    EXPECT_EQ(moveQueueToDevice(system, queue, 7, log), 7u);
    queue.status = kAudioQueueErr_InvalidDevice;
    EXPECT_EQ(moveQueueToDevice(system, queue, 7, log), 0u);
    EXPECT_EQ(queue.devices, (std::vector<std::string>{"uid-7", "uid-7"}));
    EXPECT_EQ(lines(),
              "<6>Using output device 7 (Desk Speakers)\n"
              "<4>AudioQueue device select status -66680\n");
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
}  // namespace pellimar::testing
