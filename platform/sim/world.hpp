#pragma once
// The simulated audio system's state ("world") as plain values, its JSON file form, a builder for
// tests, and control calls that change a world file while programs use it.
//
// Typical end-to-end test:
//
//     namespace sim = pellimar::audio::sim;
//     sim::WorldBuilder world;                       // empty machine (defaultMachine() for the
//     usual) auto speakers = world.addOutputDevice("Studio Speakers", "uid-speakers", 2); auto usb
//     = world.addDevice(sim::Device::make("USB Interface", "uid-usb", 8, 8));
//     world.setDefaultOutput(speakers);
//     auto safari = world.addProcess(4242, "com.apple.Safari", /*running=*/true);
//     ASSERT_TRUE(world.write(path));                // then run programs with
//                                                    // PELLIMAR_AUDIO_SYSTEM=path
//     sim::WorldControl control(path);               // while they run:
//     control.addProcess(4343, "com.google.Chrome", true);
//     sim::Fault fault;                              // next PID read of Safari fails once
//     fault.operation = sim::FaultOperation::read;
//     fault.object = safari;
//     fault.selector = kAudioProcessPropertyPID;
//     fault.status = kAudioHardwareBadObjectError;
//     control.injectFault(fault);
//     auto now = control.read();                     // whole world: devices, taps, processes
//     auto* capture = now->findDeviceByUID("org.pellimar.application-capture");
//
// Every control call is one atomic mutation of the file (the same lock the backend uses), so it
// is safe while programs run. Object IDs are never reused within one world file.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_system/audio_system.hpp"
#include "platform/common/result.hpp"

namespace pellimar::audio::sim {

enum class StreamScope { input, output };

struct Stream {
    ObjectID id = 0;  // 0: assigned when added to a world
    StreamScope scope = StreamScope::output;
    AudioStreamBasicDescription physical;
    AudioStreamBasicDescription virtualFormat;
    std::vector<AudioStreamRangedDescription> availablePhysical;
    // 'sfma'; empty: the same list as availablePhysical.
    std::vector<AudioStreamRangedDescription> availableVirtual;
    // Delayed format change: the pending format becomes current after this many reads of the
    // device's stream configuration (-1: never).
    std::optional<AudioStreamBasicDescription> pendingFormat;
    std::int32_t pendingReads = 0;

    std::uint32_t channels() const { return virtualFormat.mChannelsPerFrame; }
    const std::vector<AudioStreamRangedDescription>& virtualFormats() const {
        return availableVirtual.empty() ? availablePhysical : availableVirtual;
    }
    // A linear-PCM stream of 32-bit float, packed and interleaved.
    static Stream make(StreamScope scope, std::uint32_t channels, double rate = 48000.0);
    // A stream whose physical and virtual format are `format`, offered at 44100, 48000 and
    // 96000 Hz.
    static Stream make(StreamScope scope, const AudioStreamBasicDescription& format);
};

struct DataSource {
    std::uint32_t id = 0;
    std::optional<std::string> name;  // nullopt: the platform gives no name
};

struct Device {
    ObjectID id = 0;  // 0: assigned when added
    std::string uid;
    std::string name;
    std::uint32_t transportType = kAudioDeviceTransportTypeBuiltIn;
    double nominalRate = 48000.0;
    std::vector<AudioValueRange> availableRates;
    std::vector<Stream> streams;          // input and output streams, in platform order
    std::vector<DataSource> dataSources;  // input data sources
    std::optional<std::uint32_t> currentSource;
    // The platform hands out no reference for these (null in the file).
    bool uidIsNull = false;
    bool nameIsNull = false;
    // Set for aggregate devices: the description they were created from ('acom'). Any JSON value.
    std::optional<Value> composition;
    // Delayed effect: the stream configuration shows at most exposedChannels channels per
    // direction (0: reads as empty) for this many more reads (-1: always).
    std::int32_t hiddenChannelReads = 0;
    std::uint32_t exposedChannels = 0;
    // Delayed data source change: becomes current after pendingSourceReads reads of 'ssrc'.
    std::optional<std::uint32_t> pendingSource;
    std::int32_t pendingSourceReads = 0;

    bool isAggregate() const { return composition.has_value(); }
    std::uint32_t channels(StreamScope scope) const;
    // One stream per direction (none for 0 channels), rates 44100/48000/96000, 48000 nominal.
    static Device make(std::string name, std::string uid, std::uint32_t inputChannels,
                       std::uint32_t outputChannels,
                       std::uint32_t transport = kAudioDeviceTransportTypeBuiltIn);
};

enum class ProcessKind { simulated, live };

struct Process {
    ObjectID id = 0;
    std::int32_t pid = 0;
    std::optional<std::string> bundleID;  // nullopt: the process has none
    bool running = false;
    ProcessKind kind = ProcessKind::simulated;
    std::uint64_t startTime = 0;  // live processes: start time in clock ticks (/proc/<pid>/stat)
};

struct Tap {
    ObjectID id = 0;
    std::string uid;
    TapDescription description;
    AudioStreamBasicDescription format;
};

enum class FaultOperation { sizeQuery, read, write, has, create, destroy };

// Selectors for faults on create/destroy calls.
constexpr Selector kSimCreateAggregateDevice = fourCharCode("cagg");
constexpr Selector kSimDestroyAggregateDevice = fourCharCode("dagg");
constexpr Selector kSimCreateProcessTap = fourCharCode("ctap");
constexpr Selector kSimDestroyProcessTap = fourCharCode("dtap");

// Makes the matching call fail with `status` (a failed 'has' answers false). The first `skip`
// matching calls pass; after that, firing decrements `count` and the fault disappears at 0.
// count -1: always.
struct Fault {
    FaultOperation operation = FaultOperation::read;
    ObjectID object = 0;    // 0: any object
    Selector selector = 0;  // 0: any selector
    Scope scope = 0;        // 0: any scope (create/destroy calls count as global)
    std::optional<Element> element = std::nullopt;  // nullopt: any element (create/destroy: main)
    Status status = kAudioHardwareUnspecifiedError;
    std::int32_t count = 1;
    std::int32_t skip = 0;
    ObjectID id = 0;  // assigned when added
};

enum class DelayEffect {
    aggregateChannels,  // a new aggregate's stream configuration reads empty for `reads` reads
    streamFormat,       // a format write shows in the stream configuration after `reads` reads
    dataSource,         // a data source write shows in 'ssrc' after `reads` reads
};

struct Delay {
    DelayEffect effect = DelayEffect::aggregateChannels;
    ObjectID object = 0;     // 0: any (device for aggregateChannels/dataSource, stream for format)
    std::string uid;         // aggregateChannels: only aggregates with this UID ("" any)
    std::int32_t reads = 1;  // -1: never takes effect
    std::int32_t count = 1;  // how many times the rule applies; -1 always
    // aggregateChannels: channels per direction shown meanwhile (0: none)
    std::uint32_t channels = 0;
    ObjectID id = 0;
};

struct World {
    std::uint32_t nextObjectID = 2;
    std::vector<Device> devices;
    std::vector<Process> processes;
    std::vector<Tap> taps;
    ObjectID defaultInput = 0;
    ObjectID defaultOutput = 0;
    ObjectID defaultSystemOutput = 0;
    std::vector<Fault> faults;
    std::vector<Delay> delays;
    bool supportsProcessTaps = true;  // false: the platform "lacks" process taps

    ObjectID allocateID() { return nextObjectID++; }

    Device* findDevice(ObjectID id);
    const Device* findDevice(ObjectID id) const;
    const Device* findDeviceByUID(const std::string& uid) const;
    const Device* findDeviceByName(const std::string& name) const;
    const Process* findProcess(ObjectID id) const;
    const Tap* findTap(ObjectID id) const;
    const Tap* findTapByUID(const std::string& uid) const;
    std::vector<const Tap*> tapsNamedWithPrefix(const std::string& prefix) const;
};

// The machine a missing world file starts as: built-in speakers (2 out, default output and system
// output), a built-in microphone (1 in, sources "Internal Microphone" and "Line In", default
// input), a USB interface (8 in, 8 out). No processes, no taps.
World defaultWorld();

// Aggregate device from a creation description: name, uid, composition, and its streams — each
// sub-device's input streams, then one input stream per listed tap (2 channels, 1 for a mono tap),
// and the sub-devices' output streams side by side (one stream of the widest when "stacked").
// Unknown sub-devices and taps contribute nothing. Assigns IDs from the world. The composition is
// kept as the platform returns it: booleans become the numbers 0 and 1.
Device makeAggregate(World& world, const Value& description);
// A description value as the platform hands it back: every boolean, at any depth, as 0 or 1.
Value withNumericFlags(const Value& value);

// The format of a new tap: stereo (mono for a mono tap) 32-bit float at 48 kHz.
AudioStreamBasicDescription tapFormat(bool mono);
// Packed interleaved 32-bit float linear PCM.
AudioStreamBasicDescription floatFormat(std::uint32_t channels, double rate);
// Packed interleaved signed-integer linear PCM of `bits` (16, 24 or 32) per sample.
AudioStreamBasicDescription integerFormat(std::uint32_t channels, double rate, std::uint32_t bits);
// Whether every number in the world is finite (the file form cannot hold others).
bool allFinite(const World& world);
// Whether `format` is one of `formats` (every field but the rate equal, the rate in the range).
bool formatOffered(const std::vector<AudioStreamRangedDescription>& formats,
                   const AudioStreamBasicDescription& format);
// A fresh tap UID (UUID form).
std::string newTapUID();

// File form. parseWorld's error names what is wrong.
Result<World, std::string> parseWorld(const std::string& text);
std::string serializeWorld(const World& world);
// One device in the file form (as in the "devices" array).
std::string serializeDevice(const Device& device);

const char* faultOperationName(FaultOperation operation);
std::optional<FaultOperation> faultOperationFromName(const std::string& name);
const char* delayEffectName(DelayEffect effect);
std::optional<DelayEffect> delayEffectFromName(const std::string& name);
// "ppid" style text for printable four-character codes, decimal otherwise.
std::string codeText(std::uint32_t code);
// Parses codeText's output, "*" or "" as 0, or a signed decimal.
std::optional<std::uint32_t> codeFromText(const std::string& text);

// Builds a world in code. IDs are assigned in call order from 2 (1 is the system object).
class WorldBuilder {
  public:
    WorldBuilder() = default;
    static WorldBuilder defaultMachine();

    ObjectID addDevice(Device device);  // assigns the device's and its streams' IDs
    ObjectID addOutputDevice(std::string name, std::string uid, std::uint32_t channels);
    ObjectID addInputDevice(std::string name, std::string uid, std::uint32_t channels);
    // An aggregate as the platform would create it from this description.
    ObjectID addAggregate(const Value& description);
    // An aggregate with a free composition value (may be any JSON) and explicit channel counts.
    ObjectID addAggregate(std::string name, std::string uid, Value composition,
                          std::uint32_t inputChannels, std::uint32_t outputChannels);
    ObjectID addProcess(std::int32_t pid, std::optional<std::string> bundleID, bool running);
    ObjectID addTap(const TapDescription& description, std::string uid = {});
    ObjectID addFault(Fault fault);
    ObjectID addDelay(Delay delay);
    void setDefaultInput(ObjectID device) { world_.defaultInput = device; }
    void setDefaultOutput(ObjectID device) { world_.defaultOutput = device; }
    void setDefaultSystemOutput(ObjectID device) { world_.defaultSystemOutput = device; }

    Device& device(ObjectID id);  // to adjust a device after adding it
    World& world() { return world_; }
    const World& world() const { return world_; }

    // Writes the world atomically to path (replacing any file there).
    Result<void, std::string> write(const std::string& path) const;

  private:
    World world_;
};

// Changes a world file while programs use it. Each call is one atomic mutation.
class WorldControl {
  public:
    explicit WorldControl(std::string path);

    const std::string& path() const { return path_; }
    // The whole world as stored (dead live processes included until the next mutation).
    Result<World, std::string> read() const;
    // Runs `change` on the current world under the lock and writes the result.
    Result<void, std::string> update(const std::function<void(World&)>& change);

    Result<ObjectID, std::string> addProcess(std::int32_t pid, std::optional<std::string> bundleID,
                                             bool running);
    Result<void, std::string> removeProcess(ObjectID process);
    Result<void, std::string> setRunning(ObjectID process, bool running);
    Result<ObjectID, std::string> addDevice(Device device);
    // An aggregate as the platform would create it from this description.
    Result<ObjectID, std::string> addAggregate(const Value& description);
    Result<void, std::string> removeDevice(ObjectID device);
    Result<ObjectID, std::string> injectFault(Fault fault);
    Result<void, std::string> clearFaults();
    Result<ObjectID, std::string> addDelay(Delay delay);
    // Replaces the world with the default machine (a fresh ID counter continues, IDs stay unique).
    Result<void, std::string> reset();

  private:
    std::string path_;
};

// Where the world file is: PELLIMAR_AUDIO_SYSTEM, else $XDG_RUNTIME_DIR/pellimar/audio-system.json,
// else /tmp/pellimar-<uid>/audio-system.json. The default directory is created private (0700);
// one that is not a directory of this user is refused.
Result<std::string, std::string> worldPath();

}  // namespace pellimar::audio::sim
