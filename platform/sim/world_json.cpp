#include <unordered_set>

#include "platform/json/json_checks.hpp"
#include "platform/sim/world.hpp"
#include "platform/sim/world_internal.hpp"

namespace pellimar::audio::sim {

using nlohmann::json;
using pellimar::json::requireWhole;

namespace {

// Codes are stored as four-character text when printable, as numbers otherwise.
json codeJson(std::uint32_t code, bool isStatus) {
    if (code != 0 && printableCode(code)) {
        return fourCharText(code);
    }
    if (isStatus) {
        return std::int32_t(code);
    }
    return code;
}

std::uint32_t codeFromJson(const json& j) {
    if (j.is_string()) {
        auto s = j.get<std::string>();
        if (s == "*" || s.empty()) {
            return 0;
        }
        if (s.size() != 4) {
            throw std::runtime_error("four-character code expected, got \"" + s + "\"");
        }
        return fourCharValue(s);
    }
    if (j.is_number_integer()) {
        return std::uint32_t(j.get<std::int64_t>());
    }
    throw std::runtime_error("code expected (four characters or a number)");
}

json formatJson(const AudioStreamBasicDescription& f) {
    return json{{"sampleRate", f.mSampleRate},
                {"formatID", codeJson(f.mFormatID, false)},
                {"formatFlags", f.mFormatFlags},
                {"bytesPerPacket", f.mBytesPerPacket},
                {"framesPerPacket", f.mFramesPerPacket},
                {"bytesPerFrame", f.mBytesPerFrame},
                {"channelsPerFrame", f.mChannelsPerFrame},
                {"bitsPerChannel", f.mBitsPerChannel}};
}

AudioStreamBasicDescription formatFromJson(const json& j) {
    AudioStreamBasicDescription f;
    f.mSampleRate = j.at("sampleRate").get<double>();
    f.mFormatID = codeFromJson(j.at("formatID"));
    f.mFormatFlags = requireWhole(j, "formatFlags", std::uint32_t(0));
    f.mBytesPerPacket = requireWhole(j, "bytesPerPacket", std::uint32_t(0));
    f.mFramesPerPacket = requireWhole(j, "framesPerPacket", std::uint32_t(0));
    f.mBytesPerFrame = requireWhole(j, "bytesPerFrame", std::uint32_t(0));
    f.mChannelsPerFrame =
        requireWhole<std::uint32_t>(j.at("channelsPerFrame"), "\"channelsPerFrame\"");
    f.mBitsPerChannel = requireWhole(j, "bitsPerChannel", std::uint32_t(0));
    return f;
}

json rangeJson(const AudioValueRange& r) {
    return json{{"min", r.mMinimum}, {"max", r.mMaximum}};
}

AudioValueRange rangeFromJson(const json& j) {
    if (j.is_number()) {
        return {j.get<double>(), j.get<double>()};
    }
    return {j.at("min").get<double>(), j.at("max").get<double>()};
}

DelayEffect delayFromName(const std::string& s) {
    auto effect = delayEffectFromName(s);
    if (!effect) {
        throw std::runtime_error("unknown delayed effect \"" + s + "\"");
    }
    return *effect;
}

json rangedJson(const AudioStreamRangedDescription& r) {
    return json{{"format", formatJson(r.mFormat)},
                {"minRate", r.mSampleRateRange.mMinimum},
                {"maxRate", r.mSampleRateRange.mMaximum}};
}

AudioStreamRangedDescription rangedFromJson(const json& r) {
    AudioStreamRangedDescription d;
    d.mFormat = formatFromJson(r.at("format"));
    d.mSampleRateRange.mMinimum = r.value("minRate", d.mFormat.mSampleRate);
    d.mSampleRateRange.mMaximum = r.value("maxRate", d.mFormat.mSampleRate);
    return d;
}

json streamJson(const Stream& s) {
    json j{{"id", s.id},
           {"scope", s.scope == StreamScope::input ? "input" : "output"},
           {"physicalFormat", formatJson(s.physical)},
           {"virtualFormat", formatJson(s.virtualFormat)}};
    json available = json::array();
    for (const auto& r : s.availablePhysical) {
        available.push_back(rangedJson(r));
    }
    j["availablePhysicalFormats"] = available;
    if (!s.availableVirtual.empty()) {
        json virtuals = json::array();
        for (const auto& r : s.availableVirtual) {
            virtuals.push_back(rangedJson(r));
        }
        j["availableVirtualFormats"] = virtuals;
    }
    if (s.pendingFormat) {
        j["pendingFormat"] = formatJson(*s.pendingFormat);
        j["pendingReads"] = s.pendingReads;
    }
    return j;
}

Stream streamFromJson(const json& j) {
    Stream s;
    s.id = requireWhole<ObjectID>(j.at("id"), "\"id\"");
    auto scope = j.at("scope").get<std::string>();
    if (scope != "input" && scope != "output") {
        throw std::runtime_error("stream scope must be \"input\" or \"output\"");
    }
    s.scope = scope == "input" ? StreamScope::input : StreamScope::output;
    s.physical = formatFromJson(j.at("physicalFormat"));
    s.virtualFormat =
        j.contains("virtualFormat") ? formatFromJson(j.at("virtualFormat")) : s.physical;
    for (const auto& r : j.value("availablePhysicalFormats", json::array())) {
        s.availablePhysical.push_back(rangedFromJson(r));
    }
    for (const auto& r : j.value("availableVirtualFormats", json::array())) {
        s.availableVirtual.push_back(rangedFromJson(r));
    }
    if (j.contains("pendingFormat")) {
        s.pendingFormat = formatFromJson(j.at("pendingFormat"));
        s.pendingReads = requireWhole(j, "pendingReads", 0);
    }
    return s;
}

json deviceJson(const Device& d) {
    json j{{"id", d.id},
           {"uid", d.uidIsNull ? json() : json(d.uid)},
           {"name", d.nameIsNull ? json() : json(d.name)},
           {"transportType", codeJson(d.transportType, false)},
           {"nominalSampleRate", d.nominalRate}};
    json rates = json::array();
    for (const auto& r : d.availableRates) {
        rates.push_back(rangeJson(r));
    }
    j["availableSampleRates"] = rates;
    json streams = json::array();
    for (const auto& s : d.streams) {
        streams.push_back(streamJson(s));
    }
    j["streams"] = streams;
    if (!d.dataSources.empty()) {
        json sources = json::array();
        for (const auto& s : d.dataSources) {
            sources.push_back(json{{"id", s.id}, {"name", s.name ? json(*s.name) : json()}});
        }
        j["dataSources"] = sources;
    }
    if (d.currentSource) {
        j["currentDataSource"] = *d.currentSource;
    }
    if (d.composition) {
        j["composition"] = *d.composition;
    }
    if (d.hiddenChannelReads != 0) {
        j["hiddenChannelReads"] = d.hiddenChannelReads;
    }
    if (d.exposedChannels != 0) {
        j["exposedChannels"] = d.exposedChannels;
    }
    if (d.pendingSource) {
        j["pendingDataSource"] = *d.pendingSource;
        j["pendingDataSourceReads"] = d.pendingSourceReads;
    }
    return j;
}

Device deviceFromJson(const json& j) {
    Device d;
    d.id = requireWhole<ObjectID>(j.at("id"), "\"id\"");
    d.uidIsNull = j.at("uid").is_null();
    d.uid = d.uidIsNull ? std::string() : j.at("uid").get<std::string>();
    d.nameIsNull = j.at("name").is_null();
    d.name = d.nameIsNull ? std::string() : j.at("name").get<std::string>();
    d.transportType = codeFromJson(j.value("transportType", json("bltn")));
    d.nominalRate = j.value("nominalSampleRate", 48000.0);
    for (const auto& r : j.value("availableSampleRates", json::array())) {
        d.availableRates.push_back(rangeFromJson(r));
    }
    for (const auto& s : j.value("streams", json::array())) {
        d.streams.push_back(streamFromJson(s));
    }
    for (const auto& s : j.value("dataSources", json::array())) {
        DataSource source;
        source.id = requireWhole<std::uint32_t>(s.at("id"), "\"id\"");
        if (s.contains("name") && !s["name"].is_null()) {
            source.name = s["name"].get<std::string>();
        }
        d.dataSources.push_back(source);
    }
    if (j.contains("currentDataSource") && !j["currentDataSource"].is_null()) {
        d.currentSource =
            requireWhole<std::uint32_t>(j["currentDataSource"], "\"currentDataSource\"");
    }
    if (j.contains("composition")) {
        d.composition = j["composition"];
    }
    d.hiddenChannelReads = requireWhole(j, "hiddenChannelReads", 0);
    d.exposedChannels = requireWhole(j, "exposedChannels", std::uint32_t(0));
    if (j.contains("pendingDataSource")) {
        d.pendingSource =
            requireWhole<std::uint32_t>(j["pendingDataSource"], "\"pendingDataSource\"");
        d.pendingSourceReads = requireWhole(j, "pendingDataSourceReads", 0);
    }
    return d;
}

}  // namespace

namespace {

// Text that is not UTF-8 (a name from a caller) is written with replacement characters rather
// than failing the write.
std::string dumpJson(const json& value, int indent) {
    return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

// Pretty at the top and for devices, one line per process, tap, fault and delay: readable, and
// small enough that a world with hundreds of objects parses quickly.
void appendArray(std::string& out, const char* key, const std::vector<json>& items, bool pretty,
                 bool last) {
    out += "  \"";
    out += key;
    out += "\": [";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += i == 0 ? "\n    " : ",\n    ";
        std::string item = pretty ? dumpJson(items[i], 2) : dumpJson(items[i], -1);
        for (char c : item) {
            out += c;
            if (c == '\n') {
                out += "    ";
            }
        }
    }
    out += items.empty() ? "]" : "\n  ]";
    out += last ? "\n" : ",\n";
}

}  // namespace

std::string serializeDevice(const Device& device) {
    return deviceJson(device).dump(2) + "\n";
}

std::string serializeWorld(const World& w) {
    std::string out = "{\n";
    auto scalarLine = [&](const char* key, const json& value) {
        out += "  \"";
        out += key;
        out += "\": " + dumpJson(value, -1) + ",\n";
    };
    scalarLine("version", 1);
    scalarLine("nextObjectID", w.nextObjectID);
    scalarLine("supportsProcessTaps", w.supportsProcessTaps);
    scalarLine("defaultInputDevice", w.defaultInput);
    scalarLine("defaultOutputDevice", w.defaultOutput);
    scalarLine("defaultSystemOutputDevice", w.defaultSystemOutput);
    std::vector<json> devices;
    for (const auto& d : w.devices) {
        devices.push_back(deviceJson(d));
    }
    appendArray(out, "devices", devices, true, false);
    std::vector<json> processes;
    for (const auto& p : w.processes) {
        json pj{{"id", p.id},
                {"pid", p.pid},
                {"bundleID", p.bundleID ? json(*p.bundleID) : json()},
                {"running", p.running},
                {"kind", p.kind == ProcessKind::live ? "live" : "simulated"}};
        if (p.kind == ProcessKind::live) {
            pj["startTime"] = p.startTime;
        }
        processes.push_back(std::move(pj));
    }
    appendArray(out, "processes", processes, false, false);
    std::vector<json> taps;
    for (const auto& t : w.taps) {
        json tj{{"id", t.id}, {"uid", t.uid}, {"description", tapDescriptionToJson(t.description)}};
        auto usual = tapFormat(t.description.mono);
        if (std::memcmp(&t.format, &usual, sizeof usual) != 0) {
            tj["format"] = formatJson(t.format);  // only when not the usual tap format
        }
        taps.push_back(std::move(tj));
    }
    appendArray(out, "taps", taps, false, false);
    std::vector<json> faults;
    for (const auto& f : w.faults) {
        json fj{{"id", f.id},
                {"operation", faultOperationName(f.operation)},
                {"object", f.object},
                {"selector", f.selector == 0 ? json("*") : codeJson(f.selector, false)},
                {"status", codeJson(std::uint32_t(f.status), true)},
                {"count", f.count}};
        if (f.scope != 0) {
            fj["scope"] = codeJson(f.scope, false);
        }
        if (f.element) {
            fj["element"] = *f.element;
        }
        if (f.skip != 0) {
            fj["skip"] = f.skip;
        }
        faults.push_back(std::move(fj));
    }
    appendArray(out, "faults", faults, false, false);
    std::vector<json> delays;
    for (const auto& d : w.delays) {
        delays.push_back(json{{"id", d.id},
                              {"effect", delayEffectName(d.effect)},
                              {"object", d.object},
                              {"uid", d.uid},
                              {"reads", d.reads},
                              {"count", d.count}});
        if (d.channels != 0) {
            delays.back()["channels"] = d.channels;
        }
    }
    appendArray(out, "delays", delays, false, true);
    out += "}\n";
    return out;
}

namespace {

// The parsed tree is copied and printed recursively, so a hostile depth must not reach it.
constexpr int kMaxNesting = 256;

}  // namespace

Result<World, std::string> parseWorld(const std::string& text) {
    auto parsed = pellimar::json::parseText(text, kMaxNesting);
    if (!parsed) {
        using Kind = pellimar::json::TextRefusal::Kind;
        const auto& refusal = parsed.error();
        return fail(refusal.kind == Kind::nulByte
                        ? "a NUL byte at offset " + std::to_string(refusal.nulOffset)
                    : refusal.kind == Kind::tooDeep
                        ? "nested deeper than " + std::to_string(kMaxNesting) + " levels"
                        : "not JSON (" + refusal.description + ")");
    }
    json j = std::move(*parsed);
    if (!j.is_object()) {
        return fail(std::string("the top level is not an object"));
    }
    std::string where = "top level";
    try {
        World w;
        w.nextObjectID = requireWhole<std::uint32_t>(j.at("nextObjectID"), "\"nextObjectID\"");
        w.defaultInput = requireWhole(j, "defaultInputDevice", std::uint32_t(0));
        w.defaultOutput = requireWhole(j, "defaultOutputDevice", std::uint32_t(0));
        w.defaultSystemOutput = requireWhole(j, "defaultSystemOutputDevice", std::uint32_t(0));
        w.supportsProcessTaps = j.value("supportsProcessTaps", true);
        std::uint32_t highest = 1;
        std::unordered_set<ObjectID> ids;
        auto seen = [&](ObjectID id) {
            if (id <= 1) {
                throw std::runtime_error("object ID " + std::to_string(id) + " is reserved");
            }
            if (!ids.insert(id).second) {
                throw std::runtime_error("object ID " + std::to_string(id) + " is used twice");
            }
            highest = std::max(highest, id);
        };
        for (const auto& d : j.value("devices", json::array())) {
            where = "devices";
            w.devices.push_back(deviceFromJson(d));
            seen(w.devices.back().id);
            for (const auto& s : w.devices.back().streams) {
                seen(s.id);
            }
        }
        for (const auto& pj : j.value("processes", json::array())) {
            where = "processes";
            Process p;
            p.id = requireWhole<ObjectID>(pj.at("id"), "\"id\"");
            seen(p.id);
            p.pid = requireWhole<std::int32_t>(pj.at("pid"), "\"pid\"");
            if (pj.contains("bundleID") && !pj["bundleID"].is_null()) {
                p.bundleID = pj["bundleID"].get<std::string>();
            }
            p.running = pj.value("running", false);
            auto kind = pj.value("kind", std::string("simulated"));
            if (kind != "live" && kind != "simulated") {
                throw std::runtime_error("process kind must be \"live\" or \"simulated\"");
            }
            p.kind = kind == "live" ? ProcessKind::live : ProcessKind::simulated;
            p.startTime = requireWhole(pj, "startTime", std::uint64_t(0));
            w.processes.push_back(p);
        }
        for (const auto& tj : j.value("taps", json::array())) {
            where = "taps";
            Tap t;
            t.id = requireWhole<ObjectID>(tj.at("id"), "\"id\"");
            seen(t.id);
            t.uid = tj.at("uid").get<std::string>();
            t.description = tapDescriptionFromJson(tj.at("description"));
            t.format = tj.contains("format") ? formatFromJson(tj["format"])
                                             : tapFormat(t.description.mono);
            w.taps.push_back(t);
        }
        for (const auto& fj : j.value("faults", json::array())) {
            where = "faults";
            Fault f;
            f.id = requireWhole(fj, "id", std::uint32_t(0));
            auto op = faultOperationFromName(fj.at("operation").get<std::string>());
            if (!op) {
                throw std::runtime_error("unknown fault operation");
            }
            f.operation = *op;
            f.object = requireWhole(fj, "object", std::uint32_t(0));
            f.selector = codeFromJson(fj.value("selector", json("*")));
            f.status = Status(codeFromJson(fj.at("status")));
            f.count = requireWhole(fj, "count", 1);
            f.scope = codeFromJson(fj.value("scope", json("*")));
            if (fj.contains("element") && !(fj["element"].is_string() && fj["element"] == "*")) {
                f.element = requireWhole<Element>(fj["element"], "\"element\"");
            }
            f.skip = requireWhole(fj, "skip", 0);
            if (f.skip < 0) {
                throw std::runtime_error("a fault's skip count cannot be negative");
            }
            w.faults.push_back(f);
        }
        for (const auto& dj : j.value("delays", json::array())) {
            where = "delays";
            Delay d;
            d.id = requireWhole(dj, "id", std::uint32_t(0));
            d.effect = delayFromName(dj.at("effect").get<std::string>());
            d.object = requireWhole(dj, "object", std::uint32_t(0));
            d.uid = dj.value("uid", std::string());
            d.reads = requireWhole(dj, "reads", 1);
            d.count = requireWhole(dj, "count", 1);
            d.channels = requireWhole(dj, "channels", std::uint32_t(0));
            w.delays.push_back(d);
        }
        if (w.nextObjectID <= highest) {
            return fail("nextObjectID " + std::to_string(w.nextObjectID) +
                        " is not above the highest object ID " + std::to_string(highest));
        }
        return w;
    } catch (const std::exception& e) {
        return fail("wrong shape in " + where + ": " + e.what());
    }
}

}  // namespace pellimar::audio::sim
