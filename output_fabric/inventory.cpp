#include "output_fabric/inventory.hpp"

#include <algorithm>
#include <set>
#include <utility>

namespace pellimar::output_fabric {
namespace {

using nlohmann::json;

// A default device, or 0 (matching no device) when it cannot be read.
ObjectID defaultDevice(AudioSystem& system, Selector selector) {
    auto id = audio_objects::scalar<FabricError>(system, systemObject, selector, ObjectID(0));
    return id ? *id : 0;
}

bool containsIgnoringCase(const std::string& text, std::string_view word) {
    auto lower = [](unsigned char c) { return c < 0x80 ? char(std::tolower(c)) : char(c); };
    std::string folded;
    std::transform(text.begin(), text.end(), std::back_inserter(folded), lower);
    return folded.find(word) != std::string::npos;
}

}  // namespace

bool looksVirtual(const std::string& name) {
    return containsIgnoringCase(name, "aggregate") || containsIgnoringCase(name, "virtual");
}

std::vector<double> sampleRates(AudioSystem& system, ObjectID device, double nominalRate) {
    const auto address = mainAddress(audio::kAudioDevicePropertyAvailableNominalSampleRates,
                                     audio::kAudioObjectPropertyScopeGlobal);
    std::uint32_t size = 0;
    if (system.getPropertyDataSize(device, address, 0, nullptr, size) != 0 ||
        size < sizeof(audio::AudioValueRange)) {
        return {nominalRate};
    }
    std::vector<audio::AudioValueRange> ranges(size / sizeof(audio::AudioValueRange));
    std::uint32_t io = std::uint32_t(ranges.size() * sizeof(audio::AudioValueRange));
    if (system.getPropertyData(device, address, 0, nullptr, io, ranges.data()) != 0) {
        return {nominalRate};
    }
    ranges.resize(std::min<std::size_t>(ranges.size(), io / sizeof(audio::AudioValueRange)));
    std::set<double> rates;
    for (double candidate : {nominalRate, 8000.0, 16000.0, 22050.0, 32000.0, 44100.0, 48000.0,
                             88200.0, 96000.0, 176400.0, 192000.0}) {
        if (std::any_of(ranges.begin(), ranges.end(), [&](const audio::AudioValueRange& r) {
                return r.mMinimum <= candidate && candidate <= r.mMaximum;
            })) {
            rates.insert(candidate);
        }
    }
    return {rates.begin(), rates.end()};
}

Fallible<json> outputDeviceList(AudioSystem& system) {
    const ObjectID defaultOutput =
        defaultDevice(system, audio::kAudioHardwarePropertyDefaultSystemOutputDevice);
    auto devices = allOutputDevices(system);
    if (!devices) {
        return fail(devices.error());
    }
    json list = json::array();
    for (const auto& d : *devices) {
        list.push_back({{"available", true},
                        {"backend", "coreaudio"},
                        {"defaultOutput", d.id == defaultOutput},
                        {"name", d.name},
                        {"outputChannels", d.channels},
                        {"preferredSampleRate", d.sampleRate},
                        {"sampleRate", d.sampleRate},
                        {"sampleRates", sampleRates(system, d.id, d.sampleRate)},
                        {"stableId", stableId(d.uid)},
                        {"virtual", looksVirtual(d.name)}});
    }
    return list;
}

Fallible<json> controlInventory(AudioSystem& system) {
    const ObjectID defaultInput =
        defaultDevice(system, audio::kAudioHardwarePropertyDefaultInputDevice);
    const ObjectID defaultOutput =
        defaultDevice(system, audio::kAudioHardwarePropertyDefaultSystemOutputDevice);
    auto ids = audio_objects::objectIDs<FabricError>(system);
    if (!ids) {
        return fail(ids.error());
    }
    json list = json::array();
    for (ObjectID device : *ids) {
        auto in = channels(system, device, audio::kAudioObjectPropertyScopeInput);
        auto out = channels(system, device, audio::kAudioObjectPropertyScopeOutput);
        const std::int64_t inputChannels = in ? *in : 0;
        const std::int64_t outputChannels = out ? *out : 0;
        if (inputChannels <= 0 && outputChannels <= 0) {
            continue;
        }
        auto streams = propertyIDs(system, device, audio::kAudioDevicePropertyStreams,
                                   audio::kAudioObjectPropertyScopeOutput);
        if (!streams) {
            return fail(streams.error());
        }
        std::set<std::pair<std::uint32_t, double>> formats;
        if (streams->size() == 1) {
            auto available = physicalFormats(system, streams->front());
            if (!available) {
                return fail(available.error());
            }
            for (const auto& d : *available) {
                if (d.mFormat.mFormatID != audio::kAudioFormatLinearPCM) {
                    continue;
                }
                for (double c : {44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0,
                                 d.mFormat.mSampleRate}) {
                    if (c > 0 && d.mSampleRateRange.mMinimum <= c &&
                        c <= d.mSampleRateRange.mMaximum) {
                        formats.insert({d.mFormat.mChannelsPerFrame, c});
                    }
                }
            }
        }
        std::vector<InputSource> inputSources;
        if (inputChannels > 0) {
            auto offered = sources(system, device);
            if (!offered) {
                return fail(offered.error());
            }
            inputSources = std::move(*offered);
        }
        std::optional<std::uint32_t> current;
        if (!inputSources.empty()) {
            auto ids = propertyIDs(system, device, audio::kAudioDevicePropertyDataSource,
                                   audio::kAudioObjectPropertyScopeInput);
            if (!ids) {
                return fail(ids.error());
            }
            if (!ids->empty()) {
                current = ids->front();
            }
        }
        auto name =
            audio_objects::string<FabricError>(system, device, audio::kAudioObjectPropertyName);
        if (!name) {
            return fail(name.error());
        }
        auto uid = audio_objects::string<FabricError>(system, device,
                                                      audio::kAudioDevicePropertyDeviceUID);
        if (!uid) {
            return fail(uid.error());
        }
        auto rate = audio_objects::scalar<FabricError>(
            system, device, audio::kAudioDevicePropertyNominalSampleRate, 48000.0);

        json entry = {{"defaultInput", device == defaultInput},
                      {"defaultOutput", device == defaultOutput},
                      {"inputChannels", inputChannels},
                      {"inputSources", json::array()},
                      {"name", *name},
                      {"outputChannels", outputChannels},
                      {"outputFormats", json::array()},
                      {"sampleRate", rate ? *rate : 48000.0},
                      {"stableId", stableId(*uid)}};
        if (current) {
            entry["inputSourceId"] = *current;
        }
        for (const auto& s : inputSources) {
            entry["inputSources"].push_back({{"id", s.id}, {"name", s.name}});
        }
        for (const auto& [count, sampleRate] : formats) {
            entry["outputFormats"].push_back({{"channels", count}, {"sampleRate", sampleRate}});
        }
        list.push_back(std::move(entry));
    }
    return list;
}

}  // namespace pellimar::output_fabric
