#include "platform/sim/world.hpp"

#include <algorithm>
#include <cmath>
#include <random>

#include "platform/sim/world_internal.hpp"

namespace pellimar::audio::sim {

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

}  // namespace

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

std::string newTapUID() {
    return randomTapUID();
}

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

}  // namespace pellimar::audio::sim
