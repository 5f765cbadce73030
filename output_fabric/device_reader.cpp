#include "output_fabric/device_reader.hpp"

#include <algorithm>

#include "platform/device_queries/device_queries.hpp"

namespace pellimar::output_fabric {

const LogWriter& programLog() {
    static const LogWriter writer = LogWriter::fromEnvironment("[output-fabric] ");
    return writer;
}
namespace {

Fallible<std::int64_t> streamChannels(AudioSystem& system, ObjectID device,
                                      const audio::AudioObjectPropertyAddress& address,
                                      std::uint32_t minimum, const char* sizeText,
                                      const char* readText) {
    auto channels = audio::streamChannelCount(system, device, address, minimum);
    if (!channels) {
        const auto& failure = channels.error();
        return fail(FabricError::status(failure.sizeQuery ? sizeText : readText, failure.status));
    }
    return *channels;
}

template <typename T>
Fallible<std::vector<T>> readList(AudioSystem& system, ObjectID object,
                                  const audio::AudioObjectPropertyAddress& address,
                                  const char* sizeText, const char* readText) {
    std::uint32_t size = 0;
    Status status = system.getPropertyDataSize(object, address, 0, nullptr, size);
    if (status != 0) {
        return fail(FabricError::status(sizeText, status));
    }
    std::vector<T> list(size / sizeof(T));
    if (list.empty()) {
        return list;
    }
    std::uint32_t io = std::uint32_t(list.size() * sizeof(T));
    status = system.getPropertyData(object, address, 0, nullptr, io, list.data());
    if (status != 0) {
        return fail(FabricError::status(readText, status));
    }
    // A list that shrank between the two calls would otherwise end in elements never written.
    list.resize(std::min<std::size_t>(list.size(), io / sizeof(T)));
    return list;
}

}  // namespace

Fallible<std::int64_t> outputChannels(AudioSystem& system, ObjectID device) {
    return streamChannels(
        system, device,
        {audio::kAudioDevicePropertyStreamConfiguration, audio::kAudioObjectPropertyScopeOutput,
         audio::kAudioObjectPropertyElementWildcard},
        0, "Read output stream configuration size", "Read output stream configuration");
}

Fallible<std::int64_t> channels(AudioSystem& system, ObjectID device, Scope scope) {
    return streamChannels(system, device,
                          mainAddress(audio::kAudioDevicePropertyStreamConfiguration, scope),
                          sizeof(audio::AudioBufferList), "Read channels size", "Read channels");
}

Fallible<std::vector<std::uint32_t>> propertyIDs(AudioSystem& system, ObjectID object,
                                                 Selector selector, Scope scope) {
    const auto address = mainAddress(selector, scope);
    if (!system.hasProperty(object, address)) {
        return std::vector<std::uint32_t>{};
    }
    return readList<std::uint32_t>(system, object, address, "Read list size", "Read list");
}

Fallible<std::vector<audio::AudioStreamRangedDescription>> physicalFormats(AudioSystem& system,
                                                                           ObjectID stream) {
    return readList<audio::AudioStreamRangedDescription>(
        system, stream,
        mainAddress(audio::kAudioStreamPropertyAvailablePhysicalFormats,
                    audio::kAudioObjectPropertyScopeGlobal),
        "Read format size", "Read formats");
}

Fallible<std::vector<InputSource>> sources(AudioSystem& system, ObjectID device) {
    auto ids = propertyIDs(system, device, audio::kAudioDevicePropertyDataSources,
                           audio::kAudioObjectPropertyScopeInput);
    if (!ids) {
        return fail(ids.error());
    }
    std::vector<InputSource> list;
    for (std::uint32_t id : *ids) {
        std::optional<std::string> name;
        const Status status = system.translateDataSourceName(
            device,
            mainAddress(audio::kAudioDevicePropertyDataSourceNameForIDCFString,
                        audio::kAudioObjectPropertyScopeInput),
            id, name);
        if (status != 0) {
            return fail(FabricError::status("Read input source name", status));
        }
        list.push_back({id, name ? std::move(*name) : std::to_string(id)});
    }
    return list;
}

std::optional<std::string> deviceUID(AudioSystem& system, ObjectID device) {
    std::optional<std::string> uid;
    if (system.getStringProperty(
            device, audio_objects::globalAddress(audio::kAudioDevicePropertyDeviceUID), uid) != 0) {
        return std::nullopt;
    }
    return uid.value_or(std::string());
}

Fallible<std::vector<OutputDeviceSummary>> allOutputDevices(AudioSystem& system) {
    auto ids = audio_objects::objectIDs<FabricError>(system);
    if (!ids) {
        return fail(ids.error());
    }
    std::vector<OutputDeviceSummary> devices;
    for (ObjectID id : *ids) {
        auto count = outputChannels(system, id);
        if (!count || *count <= 0) {
            continue;
        }
        auto uid =
            audio_objects::string<FabricError>(system, id, audio::kAudioDevicePropertyDeviceUID);
        if (!uid || uid->empty() || *uid == aggregateUID) {
            continue;
        }
        auto name = audio_objects::string<FabricError>(system, id, audio::kAudioObjectPropertyName);
        if (!name) {
            continue;
        }
        auto rate = audio_objects::scalar<FabricError>(
            system, id, audio::kAudioDevicePropertyNominalSampleRate, 48000.0);
        if (!rate) {
            continue;
        }
        devices.push_back({id, std::move(*uid), std::move(*name), *count, *rate});
    }
    return devices;
}

}  // namespace pellimar::output_fabric
