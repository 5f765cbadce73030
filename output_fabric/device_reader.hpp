#pragma once
// The program-wide constants and the device reads every command builds on: channel counts,
// property ID lists, available physical formats, input sources and the usable output devices.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio_objects/audio_objects.hpp"
#include "platform/common/log.hpp"

namespace pellimar::output_fabric {

using audio::AudioSystem;
using audio::ObjectID;
using audio::Scope;
using audio::Selector;
using audio::Status;

// The access layer's messages in this program's words.
struct FabricTexts {
    static constexpr bool kHasMessageCase = true;
    static std::string listSize() { return "Read device-list size"; }
    static std::string listRead() { return "Read device list"; }
    static std::string scalarRead(Selector) { return "Read property (selector)"; }
    static std::string stringRead(Selector) { return "Read string property (selector)"; }
};
using FabricError = audio_objects::AudioError<FabricTexts>;

template <typename T>
using Fallible = Result<T, FabricError>;

inline constexpr ObjectID systemObject = audio::kAudioObjectSystemObject;
inline constexpr std::string_view aggregateName = "Pellimar Output Fabric";
inline constexpr std::string_view aggregateUID = "org.pellimar.output-fabric";
inline constexpr std::string_view kStableIdPrefix = "coreaudio:";

// The program's log lines, tagged "[output-fabric] ", set up from the environment on first use.
const LogWriter& programLog();

inline std::string stableId(std::string_view uid) {
    return std::string(kStableIdPrefix) + std::string(uid);
}

// How the program waits. Tests record the pauses instead of taking them.
struct Pauses {
    std::function<void(std::chrono::milliseconds)> sleep;    // blocks the thread
    std::function<void(std::chrono::milliseconds)> runLoop;  // runs the main run loop that long
};

struct OutputDeviceSummary {
    ObjectID id = 0;
    std::string uid;
    std::string name;
    std::int64_t channels = 0;
    double sampleRate = 0;
};

struct InputSource {
    std::uint32_t id = 0;
    std::string name;
};

constexpr audio::AudioObjectPropertyAddress mainAddress(Selector selector, Scope scope) {
    return {selector, scope, audio::kAudioObjectPropertyElementMain};
}

// Output channels over every element of the output scope.
Fallible<std::int64_t> outputChannels(AudioSystem& system, ObjectID device);
// Channels of one scope, main element.
Fallible<std::int64_t> channels(AudioSystem& system, ObjectID device, Scope scope);
// An ID list property; empty when the object lacks it.
Fallible<std::vector<std::uint32_t>> propertyIDs(AudioSystem& system, ObjectID object,
                                                 Selector selector, Scope scope);
Fallible<std::vector<audio::AudioStreamRangedDescription>> physicalFormats(AudioSystem& system,
                                                                           ObjectID stream);
// The selectable input data sources, in ID-list order; an unnamed one is named by its ID.
Fallible<std::vector<InputSource>> sources(AudioSystem& system, ObjectID device);
// Devices with output channels, a UID, a name and a nominal rate, leaving out the fabric; only
// the device list itself can fail.
Fallible<std::vector<OutputDeviceSummary>> allOutputDevices(AudioSystem& system);
// A device's UID through one direct read; nullopt when the read fails, "" for no reference.
std::optional<std::string> deviceUID(AudioSystem& system, ObjectID device);

}  // namespace pellimar::output_fabric
