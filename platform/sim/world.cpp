#include "platform/sim/world.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <unordered_set>

#include "platform/json/json_checks.hpp"
#include "platform/sim/world_store.hpp"

namespace pellimar::audio::sim {

using nlohmann::json;
using pellimar::json::requireWhole;

// ---- values ----

AudioStreamBasicDescription floatFormat(std::uint32_t channels, double rate) {
    AudioStreamBasicDescription f;
    f.mSampleRate = rate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    f.mBytesPerPacket = 4 * channels;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 4 * channels;
    f.mChannelsPerFrame = channels;
    f.mBitsPerChannel = 32;
    return f;
}

AudioStreamBasicDescription integerFormat(std::uint32_t channels, double rate, std::uint32_t bits) {
    AudioStreamBasicDescription f = floatFormat(channels, rate);
    f.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    f.mBitsPerChannel = bits;
    f.mBytesPerFrame = bits / 8 * channels;
    f.mBytesPerPacket = f.mBytesPerFrame;
    return f;
}

bool formatOffered(const std::vector<AudioStreamRangedDescription>& formats,
                   const AudioStreamBasicDescription& f) {
    return std::any_of(formats.begin(), formats.end(), [&](const AudioStreamRangedDescription& d) {
        const auto& o = d.mFormat;
        return o.mFormatID == f.mFormatID && o.mFormatFlags == f.mFormatFlags &&
               o.mBytesPerPacket == f.mBytesPerPacket && o.mFramesPerPacket == f.mFramesPerPacket &&
               o.mBytesPerFrame == f.mBytesPerFrame && o.mChannelsPerFrame == f.mChannelsPerFrame &&
               o.mBitsPerChannel == f.mBitsPerChannel &&
               d.mSampleRateRange.mMinimum <= f.mSampleRate &&
               f.mSampleRate <= d.mSampleRateRange.mMaximum;
    });
}

Value withNumericFlags(const Value& value) {
    if (value.is_boolean()) {
        return value.get<bool>() ? 1 : 0;
    }
    if (!value.is_structured()) {
        return value;
    }
    Value out = value;
    for (auto& item : out) {
        item = withNumericFlags(item);
    }
    return out;
}

namespace {

bool finite(const AudioStreamBasicDescription& f) {
    return std::isfinite(f.mSampleRate);
}

bool finite(const std::vector<AudioStreamRangedDescription>& list) {
    return std::all_of(list.begin(), list.end(), [](const AudioStreamRangedDescription& d) {
        return finite(d.mFormat) && std::isfinite(d.mSampleRateRange.mMinimum) &&
               std::isfinite(d.mSampleRateRange.mMaximum);
    });
}

}  // namespace

bool allFinite(const World& world) {
    for (const auto& d : world.devices) {
        if (!std::isfinite(d.nominalRate)) {
            return false;
        }
        for (const auto& r : d.availableRates) {
            if (!std::isfinite(r.mMinimum) || !std::isfinite(r.mMaximum)) {
                return false;
            }
        }
        for (const auto& s : d.streams) {
            if (!finite(s.physical) || !finite(s.virtualFormat) || !finite(s.availablePhysical) ||
                !finite(s.availableVirtual) || (s.pendingFormat && !finite(*s.pendingFormat))) {
                return false;
            }
        }
    }
    return std::all_of(world.taps.begin(), world.taps.end(),
                       [](const Tap& t) { return finite(t.format); });
}

AudioStreamBasicDescription tapFormat(bool mono) {
    return floatFormat(mono ? 1 : 2, 48000.0);
}

Stream Stream::make(StreamScope scope, std::uint32_t channels, double rate) {
    Stream s;
    s.scope = scope;
    s.physical = floatFormat(channels, rate);
    s.virtualFormat = s.physical;
    s.availablePhysical.push_back({floatFormat(channels, 44100.0), {44100.0, 44100.0}});
    s.availablePhysical.push_back({floatFormat(channels, 48000.0), {48000.0, 48000.0}});
    s.availablePhysical.push_back({floatFormat(channels, 96000.0), {96000.0, 96000.0}});
    return s;
}

Stream Stream::make(StreamScope scope, const AudioStreamBasicDescription& format) {
    Stream s;
    s.scope = scope;
    s.physical = format;
    s.virtualFormat = format;
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        AudioStreamRangedDescription d{format, {rate, rate}};
        d.mFormat.mSampleRate = rate;
        s.availablePhysical.push_back(d);
    }
    return s;
}

std::uint32_t Device::channels(StreamScope scope) const {
    std::uint32_t total = 0;
    for (const auto& s : streams) {
        if (s.scope == scope) {
            total += s.channels();
        }
    }
    return total;
}

Device Device::make(std::string name, std::string uid, std::uint32_t inputChannels,
                    std::uint32_t outputChannels, std::uint32_t transport) {
    Device d;
    d.name = std::move(name);
    d.uid = std::move(uid);
    d.transportType = transport;
    d.availableRates = {{44100.0, 44100.0}, {48000.0, 48000.0}, {96000.0, 96000.0}};
    if (inputChannels > 0) {
        d.streams.push_back(Stream::make(StreamScope::input, inputChannels));
    }
    if (outputChannels > 0) {
        d.streams.push_back(Stream::make(StreamScope::output, outputChannels));
    }
    return d;
}

namespace {

void assignIDs(World& world, Device& device) {
    if (device.id == 0) {
        device.id = world.allocateID();
    }
    for (auto& s : device.streams) {
        if (s.id == 0) {
            s.id = world.allocateID();
        }
    }
}

std::string randomTapUID() {
    std::random_device rd;
    std::uniform_int_distribution<int> hex(0, 15);
    const char* digits = "0123456789ABCDEF";
    std::string uid;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) {
            uid += '-';
        }
        uid += digits[hex(rd)];
    }
    return uid;
}

World defaultWorldFrom(std::uint32_t firstID) {
    World w;
    w.nextObjectID = std::max<std::uint32_t>(firstID, 2);
    Device speakers = Device::make("Built-in Speakers", "BuiltInSpeakerDevice", 0, 2);
    Device mic = Device::make("Built-in Microphone", "BuiltInMicrophoneDevice", 1, 0);
    mic.dataSources = {{fourCharCode("imic"), "Internal Microphone"},
                       {fourCharCode("line"), "Line In"}};
    mic.currentSource = fourCharCode("imic");
    Device usb = Device::make("USB Audio Interface", "USBAudioInterface-8x8", 8, 8,
                              kAudioDeviceTransportTypeUSB);
    for (auto* d : {&speakers, &mic, &usb}) {
        assignIDs(w, *d);
        w.devices.push_back(*d);
    }
    w.defaultOutput = w.devices[0].id;
    w.defaultSystemOutput = w.devices[0].id;
    w.defaultInput = w.devices[1].id;
    return w;
}

}  // namespace

World defaultWorld() {
    return defaultWorldFrom(2);
}

Device makeAggregate(World& world, const Value& description) {
    Device d;
    d.transportType = kAudioDeviceTransportTypeAggregate;
    d.composition = withNumericFlags(description);
    d.availableRates = {{44100.0, 44100.0}, {48000.0, 48000.0}, {96000.0, 96000.0}};
    std::vector<const Device*> subs;
    std::vector<const Tap*> taps;
    bool stacked = false;
    if (description.is_object()) {
        if (auto it = description.find("name"); it != description.end() && it->is_string()) {
            d.name = it->get<std::string>();
        }
        if (auto it = description.find("uid"); it != description.end() && it->is_string()) {
            d.uid = it->get<std::string>();
        }
        if (auto it = description.find("stacked"); it != description.end()) {
            stacked = (it->is_boolean() && it->get<bool>()) ||
                      (it->is_number() && it->get<double>() != 0);
        }
        auto collect = [&](const char* key, auto find) {
            auto it = description.find(key);
            if (it == description.end() || !it->is_array()) {
                return;
            }
            for (const auto& entry : *it) {
                if (entry.is_object() && entry.contains("uid") && entry["uid"].is_string()) {
                    find(entry["uid"].get<std::string>());
                }
            }
        };
        collect("subdevices", [&](const std::string& uid) {
            if (const Device* sub = world.findDeviceByUID(uid)) {
                subs.push_back(sub);
            }
        });
        collect("taps", [&](const std::string& uid) {
            if (const Tap* tap = world.findTapByUID(uid)) {
                taps.push_back(tap);
            }
        });
    }
    if (d.uid.empty()) {
        d.uid = "org.pellimar.sim.aggregate." + std::to_string(world.nextObjectID);
    }
    if (!subs.empty()) {
        d.nominalRate = subs.front()->nominalRate;
        if (auto it = description.find("master"); it != description.end() && it->is_string()) {
            if (const Device* master = world.findDeviceByUID(it->get<std::string>())) {
                d.nominalRate = master->nominalRate;
            }
        }
    }
    for (const Device* sub : subs) {
        for (const auto& s : sub->streams) {
            if (s.scope == StreamScope::input) {
                Stream copy = s;
                copy.id = 0;
                copy.pendingFormat.reset();
                d.streams.push_back(copy);
            }
        }
    }
    for (const Tap* tap : taps) {
        Stream s = Stream::make(StreamScope::input, tap->format.mChannelsPerFrame,
                                tap->format.mSampleRate);
        d.streams.push_back(s);
    }
    if (stacked) {
        std::uint32_t widest = 0;
        for (const Device* sub : subs) {
            widest = std::max(widest, sub->channels(StreamScope::output));
        }
        if (widest > 0) {
            d.streams.push_back(Stream::make(StreamScope::output, widest, d.nominalRate));
        }
    } else {
        for (const Device* sub : subs) {
            for (const auto& s : sub->streams) {
                if (s.scope == StreamScope::output) {
                    Stream copy = s;
                    copy.id = 0;
                    copy.pendingFormat.reset();
                    d.streams.push_back(copy);
                }
            }
        }
    }
    assignIDs(world, d);
    return d;
}

Device* World::findDevice(ObjectID id) {
    for (auto& d : devices) {
        if (d.id == id) {
            return &d;
        }
    }
    return nullptr;
}

const Device* World::findDevice(ObjectID id) const {
    return const_cast<World*>(this)->findDevice(id);
}

const Device* World::findDeviceByUID(const std::string& uid) const {
    for (const auto& d : devices) {
        if (d.uid == uid) {
            return &d;
        }
    }
    return nullptr;
}

const Device* World::findDeviceByName(const std::string& name) const {
    for (const auto& d : devices) {
        if (d.name == name) {
            return &d;
        }
    }
    return nullptr;
}

const Process* World::findProcess(ObjectID id) const {
    for (const auto& p : processes) {
        if (p.id == id) {
            return &p;
        }
    }
    return nullptr;
}

const Tap* World::findTap(ObjectID id) const {
    for (const auto& t : taps) {
        if (t.id == id) {
            return &t;
        }
    }
    return nullptr;
}

const Tap* World::findTapByUID(const std::string& uid) const {
    for (const auto& t : taps) {
        if (t.uid == uid) {
            return &t;
        }
    }
    return nullptr;
}

std::vector<const Tap*> World::tapsNamedWithPrefix(const std::string& prefix) const {
    std::vector<const Tap*> out;
    for (const auto& t : taps) {
        if (t.description.name.starts_with(prefix)) {
            out.push_back(&t);
        }
    }
    return out;
}

// ---- codes ----

const char* faultOperationName(FaultOperation operation) {
    switch (operation) {
        case FaultOperation::sizeQuery:
            return "sizeQuery";
        case FaultOperation::read:
            return "read";
        case FaultOperation::write:
            return "write";
        case FaultOperation::has:
            return "has";
        case FaultOperation::create:
            return "create";
        case FaultOperation::destroy:
            return "destroy";
    }
    return "read";
}

std::optional<FaultOperation> faultOperationFromName(const std::string& name) {
    for (auto op : {FaultOperation::sizeQuery, FaultOperation::read, FaultOperation::write,
                    FaultOperation::has, FaultOperation::create, FaultOperation::destroy}) {
        if (name == faultOperationName(op)) {
            return op;
        }
    }
    return std::nullopt;
}

namespace {

bool printableCode(std::uint32_t code) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        auto c = (code >> shift) & 0xFF;
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

std::string fourCharText(std::uint32_t code) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        s += char((code >> shift) & 0xFF);
    }
    return s;
}

std::uint32_t fourCharValue(const std::string& s) {
    std::uint32_t v = 0;
    for (char c : s) {
        v = (v << 8) | std::uint8_t(c);
    }
    return v;
}

}  // namespace

std::string codeText(std::uint32_t code) {
    if (printableCode(code)) {
        return fourCharText(code);
    }
    return std::to_string(std::int32_t(code));
}

std::optional<std::uint32_t> codeFromText(const std::string& text) {
    if (text.empty() || text == "*") {
        return 0u;
    }
    if (text.size() == 4 && printableCode(fourCharValue(text))) {
        // "1234" reads as a four-character code too; decimals need another length or a sign.
        return fourCharValue(text);
    }
    long long v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < INT32_MIN ||
        v > std::int64_t(UINT32_MAX)) {
        return std::nullopt;
    }
    return std::uint32_t(v);
}

const char* delayEffectName(DelayEffect effect) {
    switch (effect) {
        case DelayEffect::aggregateChannels:
            return "aggregateChannels";
        case DelayEffect::streamFormat:
            return "streamFormat";
        case DelayEffect::dataSource:
            return "dataSource";
    }
    return "aggregateChannels";
}

std::optional<DelayEffect> delayEffectFromName(const std::string& name) {
    for (auto e :
         {DelayEffect::aggregateChannels, DelayEffect::streamFormat, DelayEffect::dataSource}) {
        if (name == delayEffectName(e)) {
            return e;
        }
    }
    return std::nullopt;
}

// ---- JSON ----

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

bool nestedWithin(const std::string& text, int limit) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

}  // namespace

Result<World, std::string> parseWorld(const std::string& text) {
    // The JSON library takes a NUL byte for the end of the text and would ignore what follows.
    if (const auto nul = text.find('\0'); nul != std::string::npos) {
        return fail("a NUL byte at offset " + std::to_string(nul));
    }
    if (!nestedWithin(text, kMaxNesting)) {
        return fail("nested deeper than " + std::to_string(kMaxNesting) + " levels");
    }
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {
        return fail(std::string("not JSON (") + e.what() + ")");
    }
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

// ---- builder ----

WorldBuilder WorldBuilder::defaultMachine() {
    WorldBuilder b;
    b.world_ = defaultWorld();
    return b;
}

ObjectID WorldBuilder::addDevice(Device device) {
    assignIDs(world_, device);
    world_.devices.push_back(std::move(device));
    return world_.devices.back().id;
}

ObjectID WorldBuilder::addOutputDevice(std::string name, std::string uid, std::uint32_t channels) {
    return addDevice(Device::make(std::move(name), std::move(uid), 0, channels));
}

ObjectID WorldBuilder::addInputDevice(std::string name, std::string uid, std::uint32_t channels) {
    return addDevice(Device::make(std::move(name), std::move(uid), channels, 0));
}

ObjectID WorldBuilder::addAggregate(const Value& description) {
    Device d = makeAggregate(world_, description);
    world_.devices.push_back(std::move(d));
    return world_.devices.back().id;
}

ObjectID WorldBuilder::addAggregate(std::string name, std::string uid, Value composition,
                                    std::uint32_t inputChannels, std::uint32_t outputChannels) {
    Device d = Device::make(std::move(name), std::move(uid), inputChannels, outputChannels,
                            kAudioDeviceTransportTypeAggregate);
    d.composition = std::move(composition);
    return addDevice(std::move(d));
}

ObjectID WorldBuilder::addProcess(std::int32_t pid, std::optional<std::string> bundleID,
                                  bool running) {
    Process p;
    p.id = world_.allocateID();
    p.pid = pid;
    p.bundleID = std::move(bundleID);
    p.running = running;
    world_.processes.push_back(p);
    return p.id;
}

ObjectID WorldBuilder::addTap(const TapDescription& description, std::string uid) {
    Tap t;
    t.id = world_.allocateID();
    t.uid = uid.empty() ? randomTapUID() : std::move(uid);
    t.description = description;
    t.format = tapFormat(description.mono);
    world_.taps.push_back(t);
    return t.id;
}

ObjectID WorldBuilder::addFault(Fault fault) {
    fault.id = world_.allocateID();
    world_.faults.push_back(fault);
    return fault.id;
}

ObjectID WorldBuilder::addDelay(Delay delay) {
    delay.id = world_.allocateID();
    world_.delays.push_back(delay);
    return delay.id;
}

Device& WorldBuilder::device(ObjectID id) {
    Device* d = world_.findDevice(id);
    assert(d != nullptr);
    return *d;
}

namespace {

const char* kNotFinite = "a number in the world is not finite (the file form cannot hold it)";

}  // namespace

Result<void, std::string> WorldBuilder::write(const std::string& path) const {
    if (!allFinite(world_)) {
        return fail(std::string(kNotFinite));
    }
    return WorldStore::writeWorld(path, world_);
}

std::string newTapUID() {
    return randomTapUID();
}

// ---- control ----

WorldControl::WorldControl(std::string path) : path_(std::move(path)) {}

Result<World, std::string> WorldControl::read() const {
    auto store = WorldStore::open(path_, false);
    if (!store) {
        return fail(store.error());
    }
    auto world = (*store)->current();
    if (!world) {
        return fail(world.error());
    }
    return **world;
}

Result<void, std::string> WorldControl::update(const std::function<void(World&)>& change) {
    auto store = WorldStore::open(path_, true);
    if (!store) {
        return fail(store.error());
    }
    bool finite = true;
    auto r = (*store)->mutate([&](World& w) {
        World next = w;
        change(next);
        finite = allFinite(next);
        if (finite) {
            w = std::move(next);
        }
        return finite;
    });
    if (!r) {
        return fail(r.error());
    }
    if (!finite) {
        return fail(std::string(kNotFinite));
    }
    return {};
}

Result<ObjectID, std::string> WorldControl::addProcess(std::int32_t pid,
                                                       std::optional<std::string> bundleID,
                                                       bool running) {
    ObjectID id = 0;
    auto r = update([&](World& w) {
        Process p;
        p.id = id = w.allocateID();
        p.pid = pid;
        p.bundleID = bundleID;
        p.running = running;
        w.processes.push_back(p);
    });
    if (!r) {
        return fail(r.error());
    }
    return id;
}

Result<void, std::string> WorldControl::removeProcess(ObjectID process) {
    bool found = false;
    auto r = update([&](World& w) {
        found = std::erase_if(w.processes, [&](const Process& p) { return p.id == process; }) > 0;
    });
    if (!r) {
        return r;
    }
    if (!found) {
        return fail("no process object " + std::to_string(process));
    }
    return {};
}

Result<void, std::string> WorldControl::setRunning(ObjectID process, bool running) {
    bool found = false;
    auto r = update([&](World& w) {
        for (auto& p : w.processes) {
            if (p.id == process) {
                p.running = running;
                found = true;
            }
        }
    });
    if (!r) {
        return r;
    }
    if (!found) {
        return fail("no process object " + std::to_string(process));
    }
    return {};
}

Result<ObjectID, std::string> WorldControl::addDevice(Device device) {
    ObjectID id = 0;
    auto r = update([&](World& w) {
        Device d = device;
        d.id = 0;
        for (auto& s : d.streams) {
            s.id = 0;
        }
        assignIDs(w, d);
        id = d.id;
        w.devices.push_back(std::move(d));
    });
    if (!r) {
        return fail(r.error());
    }
    return id;
}

Result<ObjectID, std::string> WorldControl::addAggregate(const Value& description) {
    if (!pellimar::json::nestedWithin(description, kMaxDescriptionNesting)) {
        return fail("a composition nested deeper than " + std::to_string(kMaxDescriptionNesting) +
                    " levels");
    }
    ObjectID id = 0;
    auto r = update([&](World& w) {
        Device d = makeAggregate(w, description);
        id = d.id;
        w.devices.push_back(std::move(d));
    });
    if (!r) {
        return fail(r.error());
    }
    return id;
}

Result<void, std::string> WorldControl::removeDevice(ObjectID device) {
    bool found = false;
    auto r = update([&](World& w) {
        found = std::erase_if(w.devices, [&](const Device& d) { return d.id == device; }) > 0;
    });
    if (!r) {
        return r;
    }
    if (!found) {
        return fail("no device object " + std::to_string(device));
    }
    return {};
}

Result<ObjectID, std::string> WorldControl::injectFault(Fault fault) {
    ObjectID id = 0;
    auto r = update([&](World& w) {
        fault.id = id = w.allocateID();
        w.faults.push_back(fault);
    });
    if (!r) {
        return fail(r.error());
    }
    return id;
}

Result<void, std::string> WorldControl::clearFaults() {
    return update([](World& w) { w.faults.clear(); });
}

Result<ObjectID, std::string> WorldControl::addDelay(Delay delay) {
    ObjectID id = 0;
    auto r = update([&](World& w) {
        delay.id = id = w.allocateID();
        w.delays.push_back(delay);
    });
    if (!r) {
        return fail(r.error());
    }
    return id;
}

Result<void, std::string> WorldControl::reset() {
    auto r = update([](World& w) { w = defaultWorldFrom(w.nextObjectID); });
    if (r) {
        return r;
    }
    // An unreadable world can still be replaced; keep its counter if it is legible, so that IDs
    // handed out before stay unused.
    std::string text;
    if (std::error_code error; std::filesystem::is_regular_file(path_, error)) {
        std::ifstream in(path_);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::uint32_t next = 2;
    if (auto key = text.find("\"nextObjectID\""); key != std::string::npos) {
        auto digits = text.find_first_of("0123456789", key);
        auto colon = text.find(':', key);
        if (digits != std::string::npos && colon != std::string::npos && colon < digits) {
            std::from_chars(text.data() + digits, text.data() + text.size(), next);
        }
    }
    std::error_code ignored;
    if (!std::filesystem::is_directory(std::filesystem::path(path_).parent_path(), ignored) &&
        !std::filesystem::path(path_).parent_path().empty()) {
        return r;  // nothing to repair where there is no directory
    }
    return WorldStore::writeWorld(path_, defaultWorldFrom(next));
}

// ---- location ----

namespace {

Result<void, std::string> ensurePrivateDirectory(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail("Simulated audio system: cannot create directory " + dir + ": " +
                    std::strerror(errno));
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        return fail("Simulated audio system: cannot inspect directory " + dir + ": " +
                    std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return fail("Simulated audio system: " + dir + " is not a directory");
    }
    if (st.st_uid != ::geteuid()) {
        return fail("Simulated audio system: directory " + dir + " is owned by uid " +
                    std::to_string(st.st_uid) + ", not by this user (uid " +
                    std::to_string(::geteuid()) + "); refusing to use it");
    }
    if ((st.st_mode & 0077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
        return fail("Simulated audio system: cannot make directory " + dir +
                    " private: " + std::strerror(errno));
    }
    return {};
}

}  // namespace

Result<std::string, std::string> worldPath() {
    if (const char* path = std::getenv("PELLIMAR_AUDIO_SYSTEM"); path && *path) {
        return std::string(path);
    }
    std::string dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        dir = std::string(runtime) + "/pellimar";
    } else {
        dir = "/tmp/pellimar-" + std::to_string(::geteuid());
    }
    if (auto r = ensurePrivateDirectory(dir); !r) {
        return fail(r.error());
    }
    return dir + "/audio-system.json";
}

}  // namespace pellimar::audio::sim
