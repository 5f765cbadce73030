#include "announcement_player/output_device.hpp"

#include <algorithm>
#include <cctype>

#include "announcement_player/player_error.hpp"
#include "platform/device_queries/device_queries.hpp"

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

std::uint32_t outputChannelCount(AudioSystem& system, ObjectID device) {
    const auto channels =
        streamChannelCount(system, device,
                           {kAudioDevicePropertyStreamConfiguration,
                            kAudioObjectPropertyScopeOutput, kAudioObjectPropertyElementMain});
    return channels ? std::uint32_t(*channels) : 0;
}

std::string deviceName(AudioSystem& system, ObjectID device) {
    auto name = readString(system, device, kAudioObjectPropertyName);
    return name ? *name : std::string();
}

ObjectID preferStereoOutputDevice(AudioSystem& system, OutputQueue& queue) {
    auto devices = objectList(system, kAudioHardwarePropertyDevices);
    if (!devices) {
        return 0;
    }
    const auto defaultRead = readScalar(system, kAudioObjectSystemObject,
                                        kAudioHardwarePropertyDefaultOutputDevice, ObjectID(0));
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
    return moveQueueToDevice(system, queue, choice, programLog());
}

}  // namespace pellimar::announcement
