#include "platform/device_queries/device_queries.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace pellimar::audio {

Result<std::int64_t, StreamConfigurationFailure> streamChannelCount(
    AudioSystem& system, ObjectID device, const AudioObjectPropertyAddress& address,
    std::uint32_t minimumBytes) {
    std::uint32_t size = 0;
    Status status = system.getPropertyDataSize(device, address, 0, nullptr, size);
    if (status != 0) {
        return fail(StreamConfigurationFailure{true, status});
    }
    const std::uint32_t room = std::max(size, minimumBytes);
    if (room == 0) {
        return std::int64_t(0);
    }
    // 8-byte aligned storage for the buffer list's pointers.
    std::vector<std::uint64_t> storage((room + 7) / 8, 0);
    std::uint32_t written = room;
    status = system.getPropertyData(device, address, 0, nullptr, written, storage.data());
    if (status != 0) {
        return fail(StreamConfigurationFailure{false, status});
    }
    written = std::min(written, room);
    if (written < audioBufferListSize(0)) {
        return std::int64_t(0);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(storage.data());
    std::uint32_t buffers = 0;
    std::memcpy(&buffers, bytes, sizeof buffers);
    // Never trust the count beyond the bytes actually delivered.
    buffers = std::min(buffers, (written - audioBufferListSize(0)) /
                                    static_cast<std::uint32_t>(sizeof(AudioBuffer)));
    std::int64_t total = 0;
    for (std::uint32_t i = 0; i < buffers; ++i) {
        AudioBuffer buffer;
        std::memcpy(&buffer, bytes + audioBufferListSize(i), sizeof buffer);
        total += buffer.mNumberChannels;
    }
    return total;
}

void moveQueueToDevice(AudioSystem& system, OutputQueue& queue, ObjectID device,
                       const std::function<void(const std::string&)>& logLine) {
    if (device == kAudioObjectUnknown) {
        return;
    }
    std::optional<std::string> uid;
    if (system.getStringProperty(device, {kAudioDevicePropertyDeviceUID}, uid) != 0 || !uid) {
        return;
    }
    if (const Status status = queue.setCurrentDevice(*uid); status != 0) {
        logLine("AudioQueue device select status " + std::to_string(status));
        return;
    }
    std::optional<std::string> name;
    if (system.getStringProperty(device, {kAudioObjectPropertyName}, name) != 0) {
        name.reset();
    }
    logLine("Using output device " + std::to_string(device) + " (" + name.value_or("") + ")");
}

}  // namespace pellimar::audio
