#include "announcement_player/output_device.hpp"

#include <algorithm>
#include <cctype>

#include "announcement_player/player_error.hpp"
#include "announcement_player/quiet_read.hpp"

namespace pellimar::announcement {

using namespace audio;

namespace {

bool mentionsSpeaker(const std::string& name) {
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return lower.find("speaker") != std::string::npos;
}

}  // namespace

AudioStreamBasicDescription stereoFloatFormat(double rate) {
    AudioStreamBasicDescription f;
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    f.mBytesPerPacket = 8;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 8;
    f.mChannelsPerFrame = 2;
    f.mBitsPerChannel = 32;
    return f;
}

std::uint32_t outputChannelCount(AudioSystem& system, ObjectID device) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration,
                                             kAudioObjectPropertyScopeOutput,
                                             kAudioObjectPropertyElementMain};
    std::uint32_t size = 0;
    if (system.getPropertyDataSize(device, address, 0, nullptr, size) != 0 || size == 0) {
        return 0;
    }
    // 8-byte aligned storage for the buffer list's pointers.
    std::vector<std::uint64_t> storage((size + 7) / 8);
    if (system.getPropertyData(device, address, 0, nullptr, size, storage.data()) != 0 ||
        size < 8) {
        return 0;
    }
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    const std::uint32_t fitting = (size - 8) / sizeof(AudioBuffer);
    std::uint32_t channels = 0;
    for (std::uint32_t i = 0; i < std::min(list->mNumberBuffers, fitting); ++i) {
        channels += list->mBuffers[i].mNumberChannels;
    }
    return channels;
}

std::string deviceName(AudioSystem& system, ObjectID device) {
    auto name = audio_objects::string<QuietRead>(system, device, kAudioObjectPropertyName);
    return name ? *name : std::string();
}

ObjectID preferStereoOutputDevice(AudioSystem& system, OutputQueue& queue) {
    auto devices = audio_objects::objectIDs<QuietRead>(system, kAudioHardwarePropertyDevices);
    if (!devices) {
        return 0;
    }
    const auto defaultRead = audio_objects::scalar<QuietRead>(
        system, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, ObjectID(0));
    const ObjectID defaultOutput = defaultRead ? *defaultRead : 0;
    if (defaultOutput != 0 && outputChannelCount(system, defaultOutput) == 2) {
        return 0;
    }
    std::vector<ObjectID> candidates;
    for (ObjectID device : *devices) {
        if (outputChannelCount(system, device) == 2) {
            candidates.push_back(device);
        }
    }
    ObjectID choice = defaultOutput;
    const auto speaker = std::find_if(candidates.begin(), candidates.end(), [&](ObjectID d) {
        return mentionsSpeaker(deviceName(system, d));
    });
    if (speaker != candidates.end()) {
        choice = *speaker;
    } else if (!candidates.empty()) {
        choice = candidates.front();
    }
    if (choice == kAudioObjectUnknown) {
        return 0;
    }
    std::optional<std::string> uid;
    if (system.getStringProperty(choice, {kAudioDevicePropertyDeviceUID}, uid) != 0 || !uid) {
        return 0;
    }
    if (const Status status = queue.setCurrentDevice(*uid); status != 0) {
        programLog().write(LogLevel::warning,
                           "AudioQueue device select status " + std::to_string(status));
        return 0;
    }
    programLog().write(LogLevel::info, "Using output device " + std::to_string(choice) + " (" +
                                           deviceName(system, choice) + ")");
    return choice;
}

}  // namespace pellimar::announcement
