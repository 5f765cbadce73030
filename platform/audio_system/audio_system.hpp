#pragma once
// The audio object system as the programs see it: objects with 32-bit IDs, properties addressed by
// {selector, scope, element}, fixed-size values moved as bytes, reference values typed.
// Backends (the simulated system, later PipeWire) implement AudioSystem; programs never know which.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/common/result.hpp"

namespace asio {
class io_context;
}

namespace pellimar::audio {

using ObjectID = std::uint32_t;
using Status = std::int32_t;  // 0 is success
using Selector = std::uint32_t;
using Scope = std::uint32_t;
using Element = std::uint32_t;

constexpr std::uint32_t fourCharCode(const char (&c)[5]) {
    return (std::uint32_t(std::uint8_t(c[0])) << 24) | (std::uint32_t(std::uint8_t(c[1])) << 16) |
           (std::uint32_t(std::uint8_t(c[2])) << 8) | std::uint32_t(std::uint8_t(c[3]));
}

constexpr ObjectID kAudioObjectUnknown = 0;
constexpr ObjectID kAudioObjectSystemObject = 1;

// Statuses, with the real platform's codes.
constexpr Status kAudioHardwareNoError = 0;
constexpr Status kAudioHardwareNotRunningError = Status(fourCharCode("stop"));
constexpr Status kAudioHardwareUnspecifiedError = Status(fourCharCode("what"));
constexpr Status kAudioHardwareUnknownPropertyError = Status(fourCharCode("who?"));
constexpr Status kAudioHardwareBadPropertySizeError = Status(fourCharCode("!siz"));
constexpr Status kAudioHardwareIllegalOperationError = Status(fourCharCode("nope"));
constexpr Status kAudioHardwareBadObjectError = Status(fourCharCode("!obj"));
constexpr Status kAudioHardwareBadDeviceError = Status(fourCharCode("!dev"));
constexpr Status kAudioHardwareBadStreamError = Status(fourCharCode("!str"));
constexpr Status kAudioHardwareUnsupportedOperationError = Status(fourCharCode("unop"));
constexpr Status kAudioDeviceUnsupportedFormatError = Status(fourCharCode("!dat"));
constexpr Status kAudio_ParamError = -50;

constexpr Scope kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
constexpr Scope kAudioObjectPropertyScopeInput = fourCharCode("inpt");
constexpr Scope kAudioObjectPropertyScopeOutput = fourCharCode("outp");
constexpr Element kAudioObjectPropertyElementMain = 0;
constexpr Element kAudioObjectPropertyElementWildcard = 0xFFFFFFFF;

// System object
constexpr Selector kAudioHardwarePropertyDevices = fourCharCode("dev#");
constexpr Selector kAudioHardwarePropertyDefaultInputDevice = fourCharCode("dIn ");
constexpr Selector kAudioHardwarePropertyDefaultOutputDevice = fourCharCode("dOut");
constexpr Selector kAudioHardwarePropertyDefaultSystemOutputDevice = fourCharCode("sOut");
constexpr Selector kAudioHardwarePropertyProcessObjectList = fourCharCode("prs#");
constexpr Selector kAudioHardwarePropertyTapList = fourCharCode("tps#");
// Any object
constexpr Selector kAudioObjectPropertyName = fourCharCode("lnam");
// Devices
constexpr Selector kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
constexpr Selector kAudioDevicePropertyTransportType = fourCharCode("tran");
constexpr Selector kAudioDevicePropertyStreamConfiguration = fourCharCode("slay");
constexpr Selector kAudioDevicePropertyStreams = fourCharCode("stm#");
constexpr Selector kAudioDevicePropertyNominalSampleRate = fourCharCode("nsrt");
constexpr Selector kAudioDevicePropertyAvailableNominalSampleRates = fourCharCode("nsr#");
constexpr Selector kAudioDevicePropertyDataSources = fourCharCode("dsc#");
constexpr Selector kAudioDevicePropertyDataSource = fourCharCode("ssrc");
constexpr Selector kAudioDevicePropertyDataSourceNameForIDCFString = fourCharCode("lscn");
constexpr Selector kAudioAggregateDevicePropertyComposition = fourCharCode("acom");
// Streams
constexpr Selector kAudioStreamPropertyVirtualFormat = fourCharCode("sfmt");
constexpr Selector kAudioStreamPropertyPhysicalFormat = fourCharCode("pft ");
constexpr Selector kAudioStreamPropertyAvailablePhysicalFormats = fourCharCode("pft?");
constexpr Selector kAudioStreamPropertyAvailableVirtualFormats = fourCharCode("sfma");
constexpr Selector kAudioStreamPropertyDirection = fourCharCode("sdir");  // 0 output, 1 input
// Processes
constexpr Selector kAudioProcessPropertyPID = fourCharCode("ppid");
constexpr Selector kAudioProcessPropertyBundleID = fourCharCode("pbid");
constexpr Selector kAudioProcessPropertyIsRunning = fourCharCode("pir?");
// Taps
constexpr Selector kAudioTapPropertyUID = fourCharCode("tuid");
constexpr Selector kAudioTapPropertyDescription = fourCharCode("tdsc");
constexpr Selector kAudioTapPropertyFormat = fourCharCode("tfmt");

constexpr std::uint32_t kAudioDeviceTransportTypeBuiltIn = fourCharCode("bltn");
constexpr std::uint32_t kAudioDeviceTransportTypeAggregate = fourCharCode("grup");
constexpr std::uint32_t kAudioDeviceTransportTypeVirtual = fourCharCode("virt");
constexpr std::uint32_t kAudioDeviceTransportTypeUSB = fourCharCode("usb ");
constexpr std::uint32_t kAudioDeviceTransportTypeAirPlay = fourCharCode("airp");
constexpr std::uint32_t kAudioDeviceTransportTypeBluetooth = fourCharCode("blue");

constexpr std::uint32_t kAudioFormatLinearPCM = fourCharCode("lpcm");
constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;
constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

constexpr std::uint32_t kAudioAggregateDriftCompensationHighQuality = 96;

struct AudioObjectPropertyAddress {
    Selector mSelector = 0;
    Scope mScope = kAudioObjectPropertyScopeGlobal;
    Element mElement = kAudioObjectPropertyElementMain;
    friend bool operator==(const AudioObjectPropertyAddress&,
                           const AudioObjectPropertyAddress&) = default;
};

// Platform records with the SDK's published layouts, so byte sizes count as specified.
struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    std::uint32_t mFormatID = 0;
    std::uint32_t mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioValueRange {
    double mMinimum = 0;
    double mMaximum = 0;
};
static_assert(sizeof(AudioValueRange) == 16);

struct AudioStreamRangedDescription {
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
};
static_assert(sizeof(AudioStreamRangedDescription) == 56);

struct AudioBuffer {
    std::uint32_t mNumberChannels = 0;
    std::uint32_t mDataByteSize = 0;
    void* mData = nullptr;
};
static_assert(sizeof(AudioBuffer) == 16);

// Variable length: mNumberBuffers entries follow, the byte size is 8 + 16 per buffer.
struct AudioBufferList {
    std::uint32_t mNumberBuffers = 0;
    AudioBuffer mBuffers[1];
};
static_assert(sizeof(AudioBufferList) == 24);
constexpr std::uint32_t audioBufferListSize(std::uint32_t buffers) {
    return 8 + 16 * buffers;
}

// A process tap's description (CATapDescription).
enum class TapMuteBehavior : std::int32_t { unmuted = 0, muted = 1, mutedWhenTapped = 2 };

struct TapDescription {
    std::string name;
    std::vector<ObjectID> processes;
    bool isPrivate = false;
    bool exclusive = false;
    bool mixdown = true;
    bool mono = false;
    TapMuteBehavior muteBehavior = TapMuteBehavior::unmuted;
    // What the tap is for, in words, for mixers and patchbays ("slot 1 (com.google.Chrome)");
    // empty: the name says it.
    std::string label;
    friend bool operator==(const TapDescription&, const TapDescription&) = default;
};

// Dictionary-like reference values (aggregate device descriptions and compositions). A read may
// yield any JSON value, so callers must check that it is an object of the shape they expect.
using Value = nlohmann::json;

// A tap description as a JSON object, for backends that keep it as text; the reader throws
// nlohmann::json's exceptions on a malformed object.
Value tapDescriptionToJson(const TapDescription& description);
TapDescription tapDescriptionFromJson(const Value& json);

using PropertyListener =
    std::function<void(ObjectID, const std::vector<AudioObjectPropertyAddress>&)>;
using ListenerID = std::uint64_t;

// While alive, the calling process is listed as an audio process with the given bundle
// identifier, running (doing I/O) while setRunning(true). Owned by an output queue.
class ProcessRegistration {
  public:
    virtual ~ProcessRegistration() = default;
    virtual ObjectID objectID() const = 0;
    virtual void setRunning(bool running) = 0;
};

// How deep an aggregate's description may nest: it is kept as text (in the simulated world file,
// whose reader refuses more than 256 levels, or in a node property) and printing recurses.
inline constexpr int kMaxDescriptionNesting = 200;

class AudioSystem {
  public:
    virtual ~AudioSystem() = default;

    // AudioObjectHasProperty
    virtual bool hasProperty(ObjectID object, const AudioObjectPropertyAddress& address) = 0;
    // AudioObjectGetPropertyDataSize: byte size of the current value (8 for a reference value).
    virtual Status getPropertyDataSize(ObjectID object, const AudioObjectPropertyAddress& address,
                                       std::uint32_t qualifierSize, const void* qualifier,
                                       std::uint32_t& outSize) = 0;
    // AudioObjectGetPropertyData for fixed-size values: ioSize is the buffer's size on entry and
    // the bytes written on return. A buffer too small for one element fails with '!siz'.
    virtual Status getPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t qualifierSize, const void* qualifier,
                                   std::uint32_t& ioSize, void* outData) = 0;
    // AudioObjectSetPropertyData for fixed-size values.
    virtual Status setPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t qualifierSize, const void* qualifier,
                                   std::uint32_t size, const void* data) = 0;

    // Reference-valued reads: nullopt is the platform's null reference.
    virtual Status getStringProperty(ObjectID object, const AudioObjectPropertyAddress& address,
                                     std::optional<std::string>& out) = 0;
    virtual Status getValueProperty(ObjectID object, const AudioObjectPropertyAddress& address,
                                    std::optional<Value>& out) = 0;
    virtual Status getTapDescription(ObjectID object, const AudioObjectPropertyAddress& address,
                                     std::optional<TapDescription>& out) = 0;
    virtual Status setTapDescription(ObjectID object, const AudioObjectPropertyAddress& address,
                                     const TapDescription& description) = 0;
    // kAudioDevicePropertyDataSourceNameForIDCFString: the name of one data source ID.
    virtual Status translateDataSourceName(ObjectID object,
                                           const AudioObjectPropertyAddress& address,
                                           std::uint32_t sourceID,
                                           std::optional<std::string>& out) = 0;

    // A description nested deeper than kMaxDescriptionNesting levels fails with kAudio_ParamError.
    virtual Status createAggregateDevice(const Value& description, ObjectID& outDevice) = 0;
    virtual Status destroyAggregateDevice(ObjectID device) = 0;
    virtual Status createProcessTap(const TapDescription& description, ObjectID& outTap) = 0;
    virtual Status destroyProcessTap(ObjectID tap) = 0;

    // Listeners are called on the given run loop's thread when the property may have changed,
    // whichever process changed it.
    virtual Status addPropertyListener(ObjectID object, const AudioObjectPropertyAddress& address,
                                       asio::io_context& loop, PropertyListener listener,
                                       ListenerID& outID) = 0;
    virtual Status removePropertyListener(ListenerID id) = 0;

    // Whether process taps are available (the real platform's "macOS 14.2 or later").
    virtual bool supportsProcessTaps() const = 0;

    // Lists this process as an audio process while the returned object lives.
    virtual Result<std::unique_ptr<ProcessRegistration>, std::string> registerProcess(
        const std::string& bundleID) = 0;
};

// The backend chosen by the environment (PELLIMAR_AUDIO_BACKEND, default "sim"). The error text
// says what is wrong with the backend (for the simulation: an unreadable or malformed world).
Result<std::unique_ptr<AudioSystem>, std::string> openAudioSystem();

}  // namespace pellimar::audio
