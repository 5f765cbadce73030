#include "output_fabric/configure.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace pellimar::output_fabric {
namespace {

using audio::AudioStreamBasicDescription;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr int kReadbackReadings = 40;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::uint8_t* bytes, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        std::uint32_t group = std::uint32_t(bytes[i]) << 16;
        if (i + 1 < size) {
            group |= std::uint32_t(bytes[i + 1]) << 8;
        }
        if (i + 2 < size) {
            group |= bytes[i + 2];
        }
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += i + 1 < size ? kAlphabet[(group >> 6) & 63] : '=';
        out += i + 2 < size ? kAlphabet[group & 63] : '=';
    }
    return out;
}

// Standard padded base64 and nothing else: no line breaks, no other characters, padding only at
// the very end ("xx==" or "xxx=").
std::optional<std::vector<std::uint8_t>> unbase64(const std::string& text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    std::vector<std::uint8_t> out;
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t value = 0;
        if (i >= text.size() - padding) {
            value = 0;  // the padding checked above
        } else {
            const char* at = text[i] == '\0' ? nullptr : std::strchr(kAlphabet, text[i]);
            if (at == nullptr) {
                return std::nullopt;
            }
            value = std::uint32_t(at - kAlphabet);
        }
        group = (group << 6) | value;
        if (i % 4 == 3) {
            out.push_back(std::uint8_t(group >> 16));
            out.push_back(std::uint8_t(group >> 8));
            out.push_back(std::uint8_t(group));
            group = 0;
        }
    }
    out.resize(out.size() - padding);
    return out;
}

// The first device whose UID is the stable identifier's, read afresh.
Fallible<ObjectID> lookUp(AudioSystem& system, const std::string& id) {
    auto ids = audio_objects::objectIDs<FabricError>(system);
    if (!ids) {
        return fail(ids.error());
    }
    if (id.starts_with(kStableIdPrefix)) {
        const std::string uid = id.substr(kStableIdPrefix.size());
        for (ObjectID device : *ids) {
            if (deviceUID(system, device) == uid) {
                return device;
            }
        }
    }
    return fail(FabricError::message("Audio device is unavailable: " + id));
}

struct PlannedChange {
    ObjectID device = 0;
    std::optional<ObjectID> stream;
    std::optional<AudioStreamBasicDescription> format;
    std::optional<std::uint32_t> source;
};

Fallible<std::vector<std::uint32_t>> currentSource(AudioSystem& system, ObjectID device) {
    return propertyIDs(system, device, audio::kAudioDevicePropertyDataSource,
                       audio::kAudioObjectPropertyScopeInput);
}

Fallible<std::vector<std::uint32_t>> outputStreams(AudioSystem& system, ObjectID device) {
    return propertyIDs(system, device, audio::kAudioDevicePropertyStreams,
                       audio::kAudioObjectPropertyScopeOutput);
}

bool offers(const std::vector<InputSource>& sources, std::uint32_t id) {
    return std::any_of(sources.begin(), sources.end(),
                       [&](const InputSource& s) { return s.id == id; });
}

Fallible<PlannedChange> plan(AudioSystem& system, const ControlRequest& request,
                             ControlRestore& saved) {
    auto device = lookUp(system, request.stableId);
    if (!device) {
        return fail(device.error());
    }
    PlannedChange change;
    change.device = *device;
    saved.stableId = request.stableId;
    if (request.outputChannels) {
        auto streams = outputStreams(system, *device);
        if (!streams) {
            return fail(streams.error());
        }
        if (streams->size() != 1 || !request.sampleRate || !std::isfinite(*request.sampleRate)) {
            return fail(FabricError::message(
                "Explicit output format requires one stream and a sample rate"));
        }
        const ObjectID stream = streams->front();
        const double rate = *request.sampleRate;
        auto formats = physicalFormats(system, stream);
        if (!formats) {
            return fail(formats.error());
        }
        auto match = std::find_if(formats->begin(), formats->end(), [&](const auto& d) {
            return d.mFormat.mFormatID == audio::kAudioFormatLinearPCM &&
                   std::int64_t(d.mFormat.mChannelsPerFrame) == *request.outputChannels &&
                   d.mSampleRateRange.mMinimum <= rate && rate <= d.mSampleRateRange.mMaximum;
        });
        if (match == formats->end()) {
            return fail(FabricError::message("Unsupported output channel/rate combination"));
        }
        AudioStreamBasicDescription format = match->mFormat;
        format.mSampleRate = rate;
        auto physical = audio_objects::scalar<FabricError>(
            system, stream, audio::kAudioStreamPropertyPhysicalFormat,
            AudioStreamBasicDescription{});
        if (!physical) {
            return fail(physical.error());
        }
        auto virtualFormat = audio_objects::scalar<FabricError>(
            system, stream, audio::kAudioStreamPropertyVirtualFormat,
            AudioStreamBasicDescription{});
        if (!virtualFormat) {
            return fail(virtualFormat.error());
        }
        saved.streams.push_back({formatText(*physical), stream, formatText(*virtualFormat)});
        change.stream = stream;
        change.format = format;
    }
    if (request.inputSourceId) {
        auto current = currentSource(system, *device);
        if (!current) {
            return fail(current.error());
        }
        auto offered = sources(system, *device);
        if (!offered) {
            return fail(offered.error());
        }
        if (!offers(*offered, *request.inputSourceId) || current->empty()) {
            return fail(FabricError::message("Unsupported input source"));
        }
        saved.inputSourceId = current->front();
        change.source = *request.inputSourceId;
    }
    return change;
}

Fallible<void> apply(AudioSystem& system, const PlannedChange& change, const Pauses& pauses) {
    if (change.stream && change.format) {
        programLog().detail(LogLevel::info,
                            "Configure: device " + std::to_string(change.device) + " stream " +
                                std::to_string(*change.stream) + " to " +
                                std::to_string(change.format->mChannelsPerFrame) + " channels at " +
                                std::to_string(std::int64_t(change.format->mSampleRate)) + " Hz.");
        const std::string text = formatText(*change.format);
        for (Selector selector : {audio::kAudioStreamPropertyPhysicalFormat,
                                  audio::kAudioStreamPropertyVirtualFormat}) {
            if (auto set = setFormat(system, *change.stream, selector, text); !set) {
                return set;
            }
        }
        bool landed = false;
        for (int reading = 0; reading < kReadbackReadings && !landed; ++reading) {
            auto count = channels(system, change.device, audio::kAudioObjectPropertyScopeOutput);
            landed = count && *count == std::int64_t(change.format->mChannelsPerFrame);
            if (!landed) {
                pauses.sleep(50ms);
            }
        }
        if (!landed) {
            return fail(FabricError::message("Output channel readback mismatch"));
        }
    }
    if (change.source) {
        programLog().detail(LogLevel::info, "Configure: device " + std::to_string(change.device) +
                                                " input source " + std::to_string(*change.source) +
                                                ".");
        return setSource(system, change.device, *change.source);
    }
    return {};
}

json restoreJson(const ControlRestore& saved) {
    json streams = json::array();
    for (const auto& s : saved.streams) {
        streams.push_back(
            {{"physical", s.physical}, {"stream", s.stream}, {"virtual", s.virtualFormat}});
    }
    json entry = {{"stableId", saved.stableId}, {"streams", streams}};
    if (saved.inputSourceId) {
        entry["inputSourceId"] = *saved.inputSourceId;
    }
    return entry;
}

}  // namespace

std::string formatText(const AudioStreamBasicDescription& format) {
    std::array<std::uint8_t, sizeof format> bytes{};
    std::memcpy(bytes.data(), &format, sizeof format);
    return base64(bytes.data(), bytes.size());
}

Fallible<void> setFormat(AudioSystem& system, ObjectID stream, Selector selector,
                         const std::string& text) {
    auto bytes = unbase64(text);
    if (!bytes || bytes->size() != sizeof(AudioStreamBasicDescription)) {
        return fail(FabricError::message("Invalid saved audio format"));
    }
    const Status status =
        system.setPropertyData(stream, audio_objects::globalAddress(selector), 0, nullptr,
                               std::uint32_t(bytes->size()), bytes->data());
    if (status != 0) {
        return fail(FabricError::status("Set stream format", status));
    }
    return {};
}

Fallible<void> setSource(AudioSystem& system, ObjectID device, std::uint32_t id) {
    auto offered = sources(system, device);
    if (!offered) {
        return fail(offered.error());
    }
    if (!offers(*offered, id)) {
        return fail(FabricError::message("Input source is unavailable"));
    }
    const Status status = system.setPropertyData(
        device,
        mainAddress(audio::kAudioDevicePropertyDataSource, audio::kAudioObjectPropertyScopeInput),
        0, nullptr, sizeof id, &id);
    if (status != 0) {
        return fail(FabricError::status("Set input source", status));
    }
    auto current = currentSource(system, device);
    if (!current) {
        return fail(current.error());
    }
    if (current->empty() || current->front() != id) {
        return fail(FabricError::message("Input source readback mismatch"));
    }
    return {};
}

Fallible<void> restore(AudioSystem& system, const std::vector<ControlRestore>& list) {
    for (auto entry = list.rbegin(); entry != list.rend(); ++entry) {
        programLog().detail(LogLevel::info, "Restore: " + entry->stableId + ".");
        auto device = lookUp(system, entry->stableId);
        if (!device) {
            return fail(device.error());
        }
        auto streams = outputStreams(system, *device);
        if (!streams) {
            return fail(streams.error());
        }
        for (const auto& saved : entry->streams) {
            if (std::find(streams->begin(), streams->end(), saved.stream) == streams->end()) {
                return fail(FabricError::message("Output stream changed during rollback"));
            }
            if (auto set = setFormat(system, saved.stream,
                                     audio::kAudioStreamPropertyPhysicalFormat, saved.physical);
                !set) {
                return set;
            }
            if (auto set = setFormat(system, saved.stream, audio::kAudioStreamPropertyVirtualFormat,
                                     saved.virtualFormat);
                !set) {
                return set;
            }
        }
        if (entry->inputSourceId) {
            if (auto set = setSource(system, *device, *entry->inputSourceId); !set) {
                return set;
            }
        }
    }
    return {};
}

Fallible<json> configure(AudioSystem& system, const std::vector<ControlRequest>& requests,
                         const Pauses& pauses) {
    // Everything is checked and saved before the first change, so a planning failure touches
    // nothing and every saved state is the state from before the command.
    std::vector<ControlRestore> saved;
    std::vector<PlannedChange> changes;
    for (const auto& request : requests) {
        ControlRestore state;
        auto change = plan(system, request, state);
        if (!change) {
            return fail(change.error());
        }
        saved.push_back(std::move(state));
        changes.push_back(*change);
    }
    for (const auto& change : changes) {
        auto applied = apply(system, change, pauses);
        if (applied) {
            continue;
        }
        programLog().detail(LogLevel::warning,
                            "Configure failed: " + applied.error().description() +
                                " Rolling back " + std::to_string(saved.size()) + " devices.");
        auto rollback = restore(system, saved);
        if (!rollback) {
            return fail(
                FabricError::message("Configure failed: " + applied.error().description() +
                                     "; rollback failed: " + rollback.error().description()));
        }
        return fail(applied.error());
    }
    json list = json::array();
    for (const auto& state : saved) {
        list.push_back(restoreJson(state));
    }
    return json{{"ok", true}, {"restore", list}};
}

}  // namespace pellimar::output_fabric
