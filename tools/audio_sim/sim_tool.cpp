#include "tools/audio_sim/sim_tool.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/common/utf8.hpp"
#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "platform/sim/world_store.hpp"

namespace pellimar::audio::sim {

namespace {

const char* kUsage =
    "usage: pellimar-audio-sim COMMAND [OPTIONS]\n"
    "  path                         print the world file's path\n"
    "  show [--json [DEVICE]]       devices, processes, taps, faults and delays (or one device)\n"
    "  reset                        replace the world with the default machine\n"
    "  add-process --pid N [--bundle-id ID] [--running]\n"
    "  remove-process ID\n"
    "  set-running ID true|false\n"
    "  add-device --name NAME --uid UID [--inputs N] [--outputs N] [--transport CODE]\n"
    "             [--input-stream STREAM ...] [--output-stream STREAM ...]\n"
    "             [--rate HZ] [--rates RATE,MIN-MAX,...] [--no-uid] [--no-name]\n"
    "             [--source ID[=NAME] ...] [--current-source ID|none]\n"
    "             (source IDs: numbers or four characters)\n"
    "             STREAM: "
    "FORMAT[;virtual=FORMAT][;formats=RANGED,...][;virtual-formats=RANGED,...]\n"
    "             FORMAT: CHANNELS:RATE[:KIND], KIND f32 (default), i16, i24, i32 or a\n"
    "                     four-character format ID; RANGED: CHANNELS:RATE[/MIN-MAX][:KIND]\n"
    "  add-aggregate --composition JSON [--name NAME] [--uid UID] [--inputs N --outputs N]\n"
    "             (without channel counts: as the platform creates it from that description)\n"
    "  set-format STREAM physical|virtual FORMAT\n"
    "  set-source DEVICE ID\n"
    "  set-rate DEVICE HZ\n"
    "  set-default input|output|system DEVICE\n"
    "  remove-device ID\n"
    "  inject-fault --op sizeQuery|read|write|has|create|destroy [--object ID] [--selector CODE]\n"
    "               [--scope glob|inpt|outp] [--element N] --status CODE\n"
    "               [--count N | --always] [--skip K]\n"
    "  clear-faults\n"
    "  add-delay --effect aggregateChannels|streamFormat|dataSource [--object ID] [--uid UID]\n"
    "            --reads N|never [--count N | --always] [--channels N]\n"
    "The world file is PELLIMAR_AUDIO_SYSTEM, else $XDG_RUNTIME_DIR/pellimar/audio-system.json,\n"
    "else /tmp/pellimar-<uid>/audio-system.json.\n";

// Options after the command: "--name value" pairs, flags, and positional arguments.
struct Options {
    std::multimap<std::string, std::string> values;
    std::vector<std::string> flags;
    std::vector<std::string> positional;

    std::optional<std::string> get(const std::string& key) const {
        auto it = values.find(key);
        if (it == values.end()) {
            return std::nullopt;
        }
        return it->second;
    }
    bool flag(const std::string& key) const {
        return std::find(flags.begin(), flags.end(), key) != flags.end();
    }
};

Options parseOptions(const std::vector<std::string>& args, const std::vector<std::string>& flags) {
    Options o;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const auto& a = args[i];
        if (a.starts_with("--")) {
            if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
                o.flags.push_back(a);
            } else if (i + 1 < args.size()) {
                o.values.emplace(a, args[++i]);
            } else {
                o.values.emplace(a, "");
            }
        } else {
            o.positional.push_back(a);
        }
    }
    return o;
}

// Whole text only; doubles must be finite, since the world file cannot hold anything else.
template <typename T>
std::optional<T> number(const std::string& text) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    if constexpr (std::is_floating_point_v<T>) {
        if (!std::isfinite(value)) {
            return std::nullopt;
        }
    }
    return value;
}

std::string rateText(double rate) {
    std::ostringstream s;
    s << rate;
    return s.str();
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        auto at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

// CHANNELS:RATE[:KIND]; the rate part may carry "/MIN-MAX" when `range` is given.
std::optional<AudioStreamBasicDescription> parseFormat(const std::string& text,
                                                       AudioValueRange* range = nullptr) {
    auto parts = split(text, ':');
    if (parts.size() < 2 || parts.size() > 3) {
        return std::nullopt;
    }
    auto channels = number<std::uint32_t>(parts[0]);
    std::string rateText = parts[1];
    std::optional<AudioValueRange> limits;
    if (auto slash = rateText.find('/'); slash != std::string::npos && range != nullptr) {
        auto bounds = split(rateText.substr(slash + 1), '-');
        auto low = number<double>(bounds[0]);
        auto high = bounds.size() == 2 ? number<double>(bounds[1]) : std::nullopt;
        if (bounds.size() != 2 || !low || !high || *low > *high) {
            return std::nullopt;
        }
        limits = AudioValueRange{*low, *high};
        rateText.resize(slash);
    }
    auto rate = number<double>(rateText);
    if (!channels || *channels == 0 || !rate || *rate < 0) {
        return std::nullopt;
    }
    const std::string kind = parts.size() == 3 ? parts[2] : "f32";
    AudioStreamBasicDescription format;
    if (kind == "f32") {
        format = floatFormat(*channels, *rate);
    } else if (kind == "i16" || kind == "i24" || kind == "i32") {
        format = integerFormat(*channels, *rate, std::uint32_t(std::stoul(kind.substr(1))));
    } else if (kind.size() == 4) {
        // A compressed format: one packet of undetermined size, no flags.
        format.mSampleRate = *rate;
        format.mFormatID = *codeFromText(kind);
        format.mFramesPerPacket = 1536;
        format.mChannelsPerFrame = *channels;
    } else {
        return std::nullopt;
    }
    if (range != nullptr) {
        *range = limits.value_or(AudioValueRange{*rate, *rate});
    }
    return format;
}

std::optional<std::vector<AudioStreamRangedDescription>> parseRangedList(const std::string& text) {
    std::vector<AudioStreamRangedDescription> list;
    for (const auto& item : split(text, ',')) {
        AudioStreamRangedDescription d;
        auto format = parseFormat(item, &d.mSampleRateRange);
        if (!format) {
            return std::nullopt;
        }
        d.mFormat = *format;
        list.push_back(d);
    }
    return list;
}

// FORMAT[;virtual=FORMAT][;formats=RANGED,...][;virtual-formats=RANGED,...]
std::optional<Stream> parseStream(StreamScope scope, const std::string& text) {
    auto parts = split(text, ';');
    auto physical = parseFormat(parts[0]);
    if (!physical) {
        return std::nullopt;
    }
    Stream stream = Stream::make(scope, *physical);
    bool virtualGiven = false;
    bool virtualListGiven = false;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        auto eq = parts[i].find('=');
        if (eq == std::string::npos) {
            return std::nullopt;
        }
        const std::string key = parts[i].substr(0, eq);
        const std::string value = parts[i].substr(eq + 1);
        if (key == "virtual") {
            auto format = parseFormat(value);
            if (!format) {
                return std::nullopt;
            }
            stream.virtualFormat = *format;
            virtualGiven = true;
        } else if (key == "formats" || key == "virtual-formats") {
            auto list = parseRangedList(value);
            if (!list) {
                return std::nullopt;
            }
            (key == "formats" ? stream.availablePhysical : stream.availableVirtual) = *list;
            virtualListGiven |= key == "virtual-formats";
        } else {
            return std::nullopt;
        }
    }
    if (virtualGiven && !virtualListGiven) {
        stream.availableVirtual = Stream::make(scope, stream.virtualFormat).availablePhysical;
    }
    return stream;
}

// "44100,48000,88200-96000"
std::optional<std::vector<AudioValueRange>> parseRates(const std::string& text) {
    std::vector<AudioValueRange> rates;
    for (const auto& item : split(text, ',')) {
        auto bounds = split(item, '-');
        auto low = number<double>(bounds[0]);
        auto high = bounds.size() == 2 ? number<double>(bounds[1]) : low;
        if (bounds.size() > 2 || !low || !high || *low > *high) {
            return std::nullopt;
        }
        rates.push_back({*low, *high});
    }
    return rates;
}

// Builds the device that add-device describes; the error is a usage message.
Result<Device, std::string> deviceFromOptions(const Options& o) {
    auto name = o.get("--name");
    auto uid = o.get("--uid");
    auto inputs = number<std::uint32_t>(o.get("--inputs").value_or("0"));
    auto outputs = number<std::uint32_t>(o.get("--outputs").value_or("0"));
    auto transport = codeFromText(o.get("--transport").value_or("bltn"));
    if ((!name && !o.flag("--no-name")) || (!uid && !o.flag("--no-uid")) || !inputs || !outputs ||
        !transport) {
        return fail(std::string(
            "add-device needs --name (or --no-name) and --uid (or --no-uid); counts and transport "
            "must be valid"));
    }
    Device d = Device::make(name.value_or(""), uid.value_or(""), 0, 0, *transport);
    d.nameIsNull = o.flag("--no-name");
    d.uidIsNull = o.flag("--no-uid");
    if (auto rates = o.get("--rates")) {
        auto parsed = parseRates(*rates);
        if (!parsed) {
            return fail(
                std::string("--rates needs finite rates or MIN-MAX ranges, separated by commas"));
        }
        d.availableRates = *parsed;
    }
    std::optional<double> rate;
    if (auto text = o.get("--rate")) {
        rate = number<double>(*text);
        if (!rate || *rate <= 0) {
            return fail("--rate needs a finite rate above 0 Hz, got \"" + *text + "\"");
        }
    }
    for (auto [key, scope] : {std::pair{"--input-stream", StreamScope::input},
                              std::pair{"--output-stream", StreamScope::output}}) {
        if (const std::uint32_t count = scope == StreamScope::input ? *inputs : *outputs) {
            d.streams.push_back(Stream::make(scope, count, rate.value_or(48000.0)));
        }
        for (auto [it, end] = o.values.equal_range(key); it != end; ++it) {
            auto stream = parseStream(scope, it->second);
            if (!stream) {
                return fail(std::string(key) + " cannot be read: \"" + it->second + "\"");
            }
            d.streams.push_back(*stream);
        }
    }
    // The nominal rate is the rate the streams run at, and one the device offers.
    d.nominalRate = rate.value_or(d.streams.empty() ? 48000.0 : d.streams[0].physical.mSampleRate);
    for (const auto& s : d.streams) {
        if (s.physical.mSampleRate != d.nominalRate ||
            s.virtualFormat.mSampleRate != d.nominalRate) {
            return fail("every stream must run at the nominal rate " + rateText(d.nominalRate) +
                        " Hz");
        }
    }
    if (std::none_of(d.availableRates.begin(), d.availableRates.end(), [&](const auto& r) {
            return r.mMinimum <= d.nominalRate && d.nominalRate <= r.mMaximum;
        })) {
        return fail("the nominal rate " + rateText(d.nominalRate) +
                    " Hz is not among the available rates");
    }
    for (auto [it, end] = o.values.equal_range("--source"); it != end; ++it) {
        auto eq = it->second.find('=');
        auto id = codeFromText(it->second.substr(0, eq));
        if (!id) {
            return fail(std::string("--source needs ID=NAME"));
        }
        d.dataSources.push_back({*id, eq == std::string::npos
                                          ? std::nullopt
                                          : std::optional<std::string>(it->second.substr(eq + 1))});
    }
    if (auto current = o.get("--current-source")) {
        if (*current != "none") {
            d.currentSource = codeFromText(*current);
            if (!d.currentSource) {
                return fail(std::string("--current-source needs a source ID or none"));
            }
        }
    } else if (!d.dataSources.empty()) {
        d.currentSource = d.dataSources.front().id;
    }
    return d;
}

void showWorld(const World& w, const std::string& path, std::ostream& out) {
    out << "World: " << path << "\n";
    out << "Devices (" << w.devices.size() << "):\n";
    for (const auto& d : w.devices) {
        out << "  " << d.id << "  \"" << d.name << "\"  uid " << d.uid << "  "
            << codeText(d.transportType) << "  " << rateText(d.nominalRate) << " Hz  in "
            << d.channels(StreamScope::input) << "  out " << d.channels(StreamScope::output);
        if (d.id == w.defaultInput) {
            out << "  [default input]";
        }
        if (d.id == w.defaultOutput) {
            out << "  [default output]";
        }
        if (d.id == w.defaultSystemOutput) {
            out << "  [system output]";
        }
        out << "\n";
        for (const auto& s : d.streams) {
            out << "      stream " << s.id << "  "
                << (s.scope == StreamScope::input ? "input " : "output") << "  " << s.channels()
                << " ch  " << rateText(s.virtualFormat.mSampleRate) << " Hz";
            if (s.pendingFormat) {
                out << "  (pending " << s.pendingFormat->mChannelsPerFrame << " ch after "
                    << s.pendingReads << " reads)";
            }
            out << "\n";
        }
        if (!d.dataSources.empty()) {
            out << "      sources:";
            for (const auto& s : d.dataSources) {
                out << "  " << codeText(s.id) << " \"" << s.name.value_or("<no name>") << "\""
                    << (d.currentSource == s.id ? " (current)" : "");
            }
            out << "\n";
        }
        if (d.composition) {
            out << "      composition: " << d.composition->dump() << "\n";
        }
        if (d.hiddenChannelReads != 0) {
            out << "      channels hidden for " << d.hiddenChannelReads << " more reads\n";
        }
    }
    out << "Processes (" << w.processes.size() << "):\n";
    for (const auto& p : w.processes) {
        out << "  " << p.id << "  pid " << p.pid << "  " << p.bundleID.value_or("<no bundle ID>")
            << "  " << (p.running ? "running" : "idle") << "  "
            << (p.kind == ProcessKind::live ? "live" : "simulated") << "\n";
    }
    out << "Taps (" << w.taps.size() << "):\n";
    for (const auto& t : w.taps) {
        const auto& d = t.description;
        out << "  " << t.id << "  \"" << d.name << "\"  uid " << t.uid << "  processes [";
        for (std::size_t i = 0; i < d.processes.size(); ++i) {
            out << (i ? " " : "") << d.processes[i];
        }
        out << "]  " << (d.mono ? "mono" : "stereo") << (d.mixdown ? " mixdown" : "")
            << (d.isPrivate ? " private" : "") << (d.exclusive ? " exclusive" : "") << "  mute "
            << int(d.muteBehavior) << "\n";
    }
    if (!w.faults.empty()) {
        out << "Faults (" << w.faults.size() << "):\n";
        for (const auto& f : w.faults) {
            out << "  " << f.id << "  " << faultOperationName(f.operation) << "  object "
                << (f.object ? std::to_string(f.object) : "*") << "  selector "
                << (f.selector ? codeText(f.selector) : "*") << "  status "
                << codeText(std::uint32_t(f.status)) << "  "
                << (f.count < 0 ? std::string("always") : std::to_string(f.count) + " more")
                << "\n";
        }
    }
    if (!w.delays.empty()) {
        out << "Delays (" << w.delays.size() << "):\n";
        for (const auto& d : w.delays) {
            out << "  " << d.id << "  effect " << delayEffectName(d.effect) << "  object "
                << d.object << "  uid " << (d.uid.empty() ? "*" : d.uid) << "  reads " << d.reads
                << "  count " << d.count << "\n";
        }
    }
}

std::optional<std::int32_t> countOption(const Options& o, std::ostream& err) {
    if (o.flag("--always")) {
        return -1;
    }
    auto count = o.get("--count");
    if (!count) {
        return 1;
    }
    auto n = number<std::int32_t>(*count);
    if (!n || *n <= 0) {
        err << "pellimar-audio-sim: --count needs a positive number\n";
        return std::nullopt;
    }
    return n;
}

// set-format, set-source, set-rate, set-default: written through the simulated platform, so they
// are validated (and can be made to fail) exactly like a program's writes.
int setProperty(const std::string& command, const std::vector<std::string>& args,
                const std::string& path, std::ostream& err) {
    auto usage = [&](const std::string& message) {
        err << "pellimar-audio-sim: " << message << "\n" << kUsage;
        return 2;
    };
    if (args.size() != (command == "set-format" ? 3u : 2u)) {
        return usage(command + " has the wrong number of arguments");
    }
    std::optional<ObjectID> object;
    AudioObjectPropertyAddress address;
    std::vector<std::uint8_t> bytes;
    auto put = [&](const auto& value) {
        bytes.resize(sizeof value);
        std::memcpy(bytes.data(), &value, sizeof value);
    };
    if (command == "set-format") {
        object = number<ObjectID>(args[0]);
        auto format = parseFormat(args[2]);
        if (!object || !format || (args[1] != "physical" && args[1] != "virtual")) {
            return usage("set-format needs STREAM physical|virtual CHANNELS:RATE[:KIND]");
        }
        address.mSelector = args[1] == "physical" ? kAudioStreamPropertyPhysicalFormat
                                                  : kAudioStreamPropertyVirtualFormat;
        put(*format);
    } else if (command == "set-source") {
        object = number<ObjectID>(args[0]);
        auto source = codeFromText(args[1]);
        if (!object || !source) {
            return usage("set-source needs DEVICE ID");
        }
        address = {kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeInput};
        put(*source);
    } else if (command == "set-rate") {
        object = number<ObjectID>(args[0]);
        auto rate = number<double>(args[1]);
        if (!object || !rate) {
            return usage("set-rate needs DEVICE and a finite rate in Hz");
        }
        address.mSelector = kAudioDevicePropertyNominalSampleRate;
        put(*rate);
    } else {
        auto device = number<ObjectID>(args[1]);
        const std::map<std::string, Selector> which = {
            {"input", kAudioHardwarePropertyDefaultInputDevice},
            {"output", kAudioHardwarePropertyDefaultOutputDevice},
            {"system", kAudioHardwarePropertyDefaultSystemOutputDevice}};
        if (!device || !which.contains(args[0])) {
            return usage("set-default needs input|output|system DEVICE");
        }
        object = kAudioObjectSystemObject;
        address.mSelector = which.at(args[0]);
        put(*device);
    }
    auto system = SimAudioSystem::open(path);
    if (!system) {
        err << "pellimar-audio-sim: " << system.error() << "\n";
        return 1;
    }
    const Status status = (*system)->setPropertyData(*object, address, 0, nullptr,
                                                     std::uint32_t(bytes.size()), bytes.data());
    if (status != 0) {
        err << "pellimar-audio-sim: " << command << " refused with status '"
            << codeText(std::uint32_t(status)) << "'\n";
        return 1;
    }
    return 0;
}

}  // namespace

int runSimTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        (args.empty() ? err : out) << kUsage;
        return args.empty() ? 2 : 0;
    }
    for (const auto& arg : args) {
        // Names and UIDs end up in the world file, which is JSON and so UTF-8.
        if (!isUTF8(arg)) {
            err << "pellimar-audio-sim: arguments must be UTF-8 text\n" << kUsage;
            return 2;
        }
    }
    const std::string& command = args[0];
    auto path = worldPath();
    if (!path) {
        err << "pellimar-audio-sim: " << path.error() << "\n";
        return 1;
    }
    WorldControl control(*path);
    Options o = parseOptions(args, {"--running", "--always", "--json", "--no-uid", "--no-name"});
    auto failed = [&](const std::string& message) {
        err << "pellimar-audio-sim: " << message << "\n";
        return 1;
    };
    auto usage = [&](const std::string& message) {
        err << "pellimar-audio-sim: " << message << "\n" << kUsage;
        return 2;
    };
    auto done = [&](const Result<void, std::string>& r) { return r ? 0 : failed(r.error()); };

    if (command == "path") {
        out << *path << "\n";
        return 0;
    }
    if (command == "show") {
        // Opening creates the default machine when the file is missing, as any program would.
        if (auto store = WorldStore::open(*path, true); !store) {
            return failed(store.error());
        }
        auto w = control.read();
        if (!w) {
            return failed(w.error());
        }
        if (o.flag("--json") && !o.positional.empty()) {
            auto id = number<ObjectID>(o.positional[0]);
            const Device* device = id ? w->findDevice(*id) : nullptr;
            if (device == nullptr) {
                return failed("no device object " + o.positional[0]);
            }
            out << serializeDevice(*device);
        } else if (o.flag("--json")) {
            out << serializeWorld(*w);
        } else {
            showWorld(*w, *path, out);
        }
        return 0;
    }
    if (command == "reset") {
        return done(control.reset());
    }
    if (command == "add-process") {
        auto pid = number<std::int32_t>(o.get("--pid").value_or(""));
        if (!pid) {
            return usage("add-process needs --pid N");
        }
        // Above the kernel's PID_MAX_LIMIT (2^22) no process can ever be given the number.
        constexpr std::int32_t kLargestPid = 4194304;
        if (*pid < 1 || *pid > kLargestPid) {
            return usage("add-process: no process can have pid " + std::to_string(*pid) +
                         " (1 to " + std::to_string(kLargestPid) + ")");
        }
        auto id = control.addProcess(*pid, o.get("--bundle-id"), o.flag("--running"));
        if (!id) {
            return failed(id.error());
        }
        out << *id << "\n";
        return 0;
    }
    if (command == "remove-process" || command == "remove-device" || command == "set-running") {
        auto id = o.positional.empty() ? std::nullopt : number<ObjectID>(o.positional[0]);
        if (!id) {
            return usage(command + " needs an object ID");
        }
        if (command == "remove-process") {
            return done(control.removeProcess(*id));
        }
        if (command == "remove-device") {
            return done(control.removeDevice(*id));
        }
        if (o.positional.size() != 2 || (o.positional[1] != "true" && o.positional[1] != "false")) {
            return usage("set-running needs an object ID and true or false");
        }
        return done(control.setRunning(*id, o.positional[1] == "true"));
    }
    auto printID = [&](const Result<ObjectID, std::string>& id) {
        if (!id) {
            return failed(id.error());
        }
        out << *id << "\n";
        return 0;
    };
    if (command == "add-device") {
        auto device = deviceFromOptions(o);
        if (!device) {
            return usage(device.error());
        }
        return printID(control.addDevice(*device));
    }
    if (command == "add-aggregate") {
        Value composition;
        try {
            composition = Value::parse(o.get("--composition").value_or(""));
        } catch (const Value::exception&) {
            return usage("add-aggregate needs --composition with a JSON value");
        }
        if (!o.get("--inputs") && !o.get("--outputs")) {
            if (!composition.is_object()) {
                return usage("a composition to create from must be a JSON object");
            }
            if (auto name = o.get("--name")) {
                composition["name"] = *name;
            }
            if (auto uid = o.get("--uid")) {
                composition["uid"] = *uid;
            }
            return printID(control.addAggregate(composition));
        }
        // Seeded as given: the composition stays exactly as written, whatever it holds.
        auto inputs = number<std::uint32_t>(o.get("--inputs").value_or("0"));
        auto outputs = number<std::uint32_t>(o.get("--outputs").value_or("0"));
        auto text = [&](const char* key) {
            return composition.is_object() && composition.contains(key) &&
                           composition[key].is_string()
                       ? composition[key].get<std::string>()
                       : std::string();
        };
        auto name = o.get("--name").value_or(text("name"));
        auto uid = o.get("--uid").value_or(text("uid"));
        if (!inputs || !outputs || uid.empty()) {
            return usage("add-aggregate needs a UID and valid channel counts");
        }
        Device d = Device::make(name, uid, *inputs, *outputs, kAudioDeviceTransportTypeAggregate);
        d.composition = composition;
        return printID(control.addDevice(d));
    }
    if (command == "set-format" || command == "set-source" || command == "set-rate" ||
        command == "set-default") {
        return setProperty(command, o.positional, *path, err);
    }
    if (command == "inject-fault") {
        Fault f;
        auto op = faultOperationFromName(o.get("--op").value_or(""));
        auto object = number<ObjectID>(o.get("--object").value_or("0"));
        auto selector = codeFromText(o.get("--selector").value_or("*"));
        auto status = o.get("--status") ? codeFromText(*o.get("--status")) : std::nullopt;
        auto count = countOption(o, err);
        auto scope = codeFromText(o.get("--scope").value_or("*"));
        auto skip = number<std::int32_t>(o.get("--skip").value_or("0"));
        std::optional<Element> element;
        if (auto text = o.get("--element"); text && *text != "*") {
            element = number<Element>(*text);
            if (!element) {
                return usage("--element needs a number or *");
            }
        }
        if (!op || !object || !selector || !status || !count || !scope || !skip || *skip < 0) {
            return usage(
                "inject-fault needs --op and --status; --object, --selector, --scope, --count, "
                "--skip must be valid");
        }
        f.operation = *op;
        f.object = *object;
        f.selector = *selector;
        f.scope = *scope;
        f.element = element;
        f.skip = *skip;
        f.status = Status(*status);
        f.count = *count;
        auto id = control.injectFault(f);
        if (!id) {
            return failed(id.error());
        }
        out << *id << "\n";
        return 0;
    }
    if (command == "clear-faults") {
        return done(control.clearFaults());
    }
    if (command == "add-delay") {
        Delay d;
        auto effect = delayEffectFromName(o.get("--effect").value_or(""));
        if (!effect) {
            return usage("add-delay needs --effect aggregateChannels|streamFormat|dataSource");
        }
        d.effect = *effect;
        auto reads = o.get("--reads").value_or("");
        auto n = reads == "never" ? std::optional<std::int32_t>(-1) : number<std::int32_t>(reads);
        auto object = number<ObjectID>(o.get("--object").value_or("0"));
        auto count = countOption(o, err);
        auto channels = number<std::uint32_t>(o.get("--channels").value_or("0"));
        if (!n || (*n < 0 && reads != "never") || !object || !count || !channels) {
            return usage(
                "add-delay needs --reads N|never; --object, --count and --channels must be valid");
        }
        d.channels = *channels;
        d.reads = *n;
        d.object = *object;
        d.uid = o.get("--uid").value_or("");
        d.count = *count;
        auto id = control.addDelay(d);
        if (!id) {
            return failed(id.error());
        }
        out << *id << "\n";
        return 0;
    }
    return usage("unknown command \"" + command + "\"");
}

}  // namespace pellimar::audio::sim
