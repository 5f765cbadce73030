#include "platform/audio_system/sim/tool/sim_tool.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/audio_system/sim/sim_world.hpp"
#include "platform/audio_system/sim/world_store.hpp"

namespace pellimar::audio::sim {

namespace {

const char* kUsage =
    "usage: pellimar-audio-sim COMMAND [OPTIONS]\n"
    "  path                         print the world file's path\n"
    "  show [--json]                devices, processes, taps, faults and delays\n"
    "  reset                        replace the world with the default machine\n"
    "  add-process --pid N [--bundle-id ID] [--running]\n"
    "  remove-process ID\n"
    "  set-running ID true|false\n"
    "  add-device --name NAME --uid UID [--inputs N] [--outputs N] [--transport CODE]\n"
    "             [--rate HZ] [--source ID=NAME ...] [--current-source ID]\n"
    "             (source IDs: numbers or four characters)\n"
    "  remove-device ID\n"
    "  inject-fault --op sizeQuery|read|write|has|create|destroy [--object ID] [--selector CODE]\n"
    "               --status CODE [--count N | --always]\n"
    "  clear-faults\n"
    "  add-delay --effect aggregateChannels|streamFormat|dataSource [--object ID] [--uid UID]\n"
    "            --reads N|never [--count N | --always]\n"
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

template <typename T>
std::optional<T> number(const std::string& text) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// Names and UIDs end up in the world file, which is JSON and so UTF-8.
bool validUtf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

std::string rateText(double rate) {
    std::ostringstream s;
    s << rate;
    return s.str();
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

}  // namespace

int runSimTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        (args.empty() ? err : out) << kUsage;
        return args.empty() ? 2 : 0;
    }
    for (const auto& arg : args) {
        if (!validUtf8(arg)) {
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
    Options o = parseOptions(args, {"--running", "--always", "--json"});
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
        if (o.flag("--json")) {
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
    if (command == "add-device") {
        auto name = o.get("--name");
        auto uid = o.get("--uid");
        auto inputs = number<std::uint32_t>(o.get("--inputs").value_or("0"));
        auto outputs = number<std::uint32_t>(o.get("--outputs").value_or("0"));
        auto transport = codeFromText(o.get("--transport").value_or("bltn"));
        auto rate = number<double>(o.get("--rate").value_or("48000"));
        if (!name || !uid || !inputs || !outputs || !transport || !rate || !std::isfinite(*rate) ||
            *rate <= 0) {
            return usage(
                "add-device needs --name and --uid; counts, transport and rate must be valid");
        }
        Device d = Device::make(*name, *uid, *inputs, *outputs, *transport);
        d.nominalRate = *rate;
        for (auto [it, end] = o.values.equal_range("--source"); it != end; ++it) {
            auto eq = it->second.find('=');
            auto id = codeFromText(it->second.substr(0, eq));
            if (!id) {
                return usage("--source needs ID=NAME");
            }
            d.dataSources.push_back(
                {*id, eq == std::string::npos
                          ? std::nullopt
                          : std::optional<std::string>(it->second.substr(eq + 1))});
        }
        if (auto current = o.get("--current-source")) {
            d.currentSource = codeFromText(*current);
        } else if (!d.dataSources.empty()) {
            d.currentSource = d.dataSources.front().id;
        }
        auto id = control.addDevice(d);
        if (!id) {
            return failed(id.error());
        }
        out << *id << "\n";
        return 0;
    }
    if (command == "inject-fault") {
        Fault f;
        auto op = faultOperationFromName(o.get("--op").value_or(""));
        auto object = number<ObjectID>(o.get("--object").value_or("0"));
        auto selector = codeFromText(o.get("--selector").value_or("*"));
        auto status = o.get("--status") ? codeFromText(*o.get("--status")) : std::nullopt;
        auto count = countOption(o, err);
        if (!op || !object || !selector || !status || !count) {
            return usage(
                "inject-fault needs --op and --status; --object, --selector, --count must be "
                "valid");
        }
        f.operation = *op;
        f.object = *object;
        f.selector = *selector;
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
        if (!n || (*n < 0 && reads != "never") || !object || !count) {
            return usage("add-delay needs --reads N|never; --object and --count must be valid");
        }
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
