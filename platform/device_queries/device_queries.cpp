#include "platform/device_queries/device_queries.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace pellimar::audio {

Result<std::vector<ObjectID>, PropertyReadFailure> objectList(AudioSystem& system,
                                                              Selector selector) {
    const AudioObjectPropertyAddress address{selector};
    std::uint32_t size = 0;
    Status status = system.getPropertyDataSize(kAudioObjectSystemObject, address, 0, nullptr, size);
    if (status != 0) {
        return fail(PropertyReadFailure{true, status});
    }
    std::vector<ObjectID> ids(size / sizeof(ObjectID), 0);
    // An empty list is not read: a read with room for nothing fails with a bad-size status when
    // an object appears between the two calls, which would turn that harmless race into a failed
    // inventory (and a failed "list" or "run").
    if (ids.empty()) {
        return ids;
    }
    std::uint32_t ioSize = static_cast<std::uint32_t>(ids.size() * sizeof(ObjectID));
    status =
        system.getPropertyData(kAudioObjectSystemObject, address, 0, nullptr, ioSize, ids.data());
    if (status != 0) {
        return fail(PropertyReadFailure{false, status});
    }
    // A list that shrank between the two calls would otherwise end in IDs of no object.
    if (ioSize / sizeof(ObjectID) < ids.size()) {
        ids.resize(ioSize / sizeof(ObjectID));
    }
    return ids;
}

Result<std::string, Status> readString(AudioSystem& system, ObjectID object, Selector selector) {
    std::optional<std::string> value;
    const Status status = system.getStringProperty(object, {selector}, value);
    if (status != 0) {
        return fail(status);
    }
    return value ? std::move(*value) : std::string();
}

Result<std::int64_t, PropertyReadFailure> streamChannelCount(
    AudioSystem& system, ObjectID device, const AudioObjectPropertyAddress& address,
    std::uint32_t minimumBytes) {
    std::uint32_t size = 0;
    Status status = system.getPropertyDataSize(device, address, 0, nullptr, size);
    if (status != 0) {
        return fail(PropertyReadFailure{true, status});
    }
    const std::uint32_t room = std::max(size, minimumBytes);
    if (room == 0) {
        return std::int64_t(0);
    }
    std::vector<std::uint64_t> storage((room + 7) / 8, 0);
    std::uint32_t written = room;
    status = system.getPropertyData(device, address, 0, nullptr, written, storage.data());
    if (status != 0) {
        return fail(PropertyReadFailure{false, status});
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

ObjectID moveQueueToDevice(AudioSystem& system, OutputQueue& queue, ObjectID device,
                           const LogWriter& log) {
    if (device == kAudioObjectUnknown) {
        return 0;
    }
    std::optional<std::string> uid;
    if (system.getStringProperty(device, {kAudioDevicePropertyDeviceUID}, uid) != 0 || !uid) {
        return 0;
    }
    if (const Status status = queue.setCurrentDevice(*uid); status != 0) {
        log.write(LogLevel::warning, "AudioQueue device select status " + std::to_string(status));
        return 0;
    }
    std::optional<std::string> name;
    if (system.getStringProperty(device, {kAudioObjectPropertyName}, name) != 0) {
        name.reset();
    }
    log.write(LogLevel::info,
              "Using output device " + std::to_string(device) + " (" + name.value_or("") + ")");
    return device;
}

}  // namespace pellimar::audio
