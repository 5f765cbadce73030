// Property calls: reads of the resolved value, writes as changes of the world, and the effects a
// write has later, after some reads, as hardware has them.

#include "platform/sim/audio_system.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/sim/core.hpp"

namespace pellimar::audio::sim {

namespace {

bool rateSupported(const std::vector<AudioValueRange>& ranges, double rate) {
    return std::any_of(ranges.begin(), ranges.end(), [&](const AudioValueRange& r) {
        return r.mMinimum <= rate && rate <= r.mMaximum;
    });
}

// Like the platform: a physical format must be one of the available physical formats, a virtual
// one one of the available virtual formats, field for field.
bool formatSupported(const Stream& s, Selector selector, const AudioStreamBasicDescription& f) {
    if (f.mChannelsPerFrame == 0 || !(f.mSampleRate > 0) || !std::isfinite(f.mSampleRate)) {
        return false;
    }
    const auto& offered =
        selector == kAudioStreamPropertyPhysicalFormat ? s.availablePhysical : s.virtualFormats();
    return offered.empty() || formatOffered(offered, f);
}

void withChannelsAndRate(AudioStreamBasicDescription& f, std::uint32_t channels, double rate) {
    bool interleaved = (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    f.mChannelsPerFrame = channels;
    f.mSampleRate = rate;
    if (interleaved && f.mBitsPerChannel % 8 == 0 && f.mBitsPerChannel > 0) {
        f.mBytesPerFrame = f.mBitsPerChannel / 8 * channels;
        f.mBytesPerPacket = f.mBytesPerFrame * std::max<std::uint32_t>(f.mFramesPerPacket, 1);
    }
}

void setDeviceRate(Device& d, double rate) {
    d.nominalRate = rate;
    for (auto& s : d.streams) {
        withChannelsAndRate(s.physical, s.physical.mChannelsPerFrame, rate);
        withChannelsAndRate(s.virtualFormat, s.virtualFormat.mChannelsPerFrame, rate);
    }
}

}  // namespace

void applyFormat(Device& d, Stream& s, Selector selector, const AudioStreamBasicDescription& f) {
    setDeviceRate(d, f.mSampleRate);
    if (selector == kAudioStreamPropertyPhysicalFormat) {
        s.physical = f;
        withChannelsAndRate(s.virtualFormat, f.mChannelsPerFrame, f.mSampleRate);
    } else {
        s.virtualFormat = f;
        withChannelsAndRate(s.physical, f.mChannelsPerFrame, f.mSampleRate);
    }
}

std::optional<Delay> takeDelay(World& w, DelayEffect effect, ObjectID object,
                               const std::string& uid) {
    for (auto it = w.delays.begin(); it != w.delays.end(); ++it) {
        if (it->effect != effect || (it->object != 0 && it->object != object) ||
            (!it->uid.empty() && it->uid != uid) || it->count == 0) {
            continue;
        }
        Delay taken = *it;
        if (it->count > 0 && --it->count == 0) {
            w.delays.erase(it);
        }
        return taken;
    }
    return std::nullopt;
}

Result<std::unique_ptr<SimAudioSystem>, std::string> SimAudioSystem::open(const std::string& path) {
    auto store = WorldStore::open(path, true);
    if (!store) {
        return fail(store.error());
    }
    auto core = std::make_shared<Core>();
    core->store = std::move(*store);
    return std::unique_ptr<SimAudioSystem>(new SimAudioSystem(std::move(core)));
}

SimAudioSystem::SimAudioSystem(std::shared_ptr<Core> core) : core_(std::move(core)) {}

bool SimAudioSystem::hasProperty(ObjectID object, const AudioObjectPropertyAddress& address) {
    auto guard = core_->enter();
    if (core_->fault(FaultOperation::has, object, address) != kAudioHardwareNoError) {
        return false;
    }
    auto w = core_->world();
    if (!w) {
        return false;
    }
    Resolved r;
    return core_->resolve(**w, object, address, r) == kAudioHardwareNoError;
}

Status SimAudioSystem::getPropertyDataSize(ObjectID object,
                                           const AudioObjectPropertyAddress& address, std::uint32_t,
                                           const void*, std::uint32_t& outSize) {
    auto guard = core_->enter();
    outSize = 0;
    Resolved r;
    if (Status s = core_->lookup(FaultOperation::sizeQuery, object, address, r)) {
        return s;
    }
    outSize = dataSize(r);
    return kAudioHardwareNoError;
}

Status SimAudioSystem::getPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,
                                       std::uint32_t, const void*, std::uint32_t& ioSize,
                                       void* outData) {
    auto guard = core_->enter();
    std::uint32_t capacity = ioSize;
    ioSize = 0;
    Resolved r;
    if (Status s = core_->lookup(FaultOperation::read, object, address, r)) {
        return s;
    }
    if (Status s = copyFixed(r, capacity, outData, ioSize)) {
        return s;
    }
    if (r.consumesDelay) {
        core_->advanceDelays(object, address.mSelector);
    }
    return kAudioHardwareNoError;
}

Status SimAudioSystem::setPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,
                                       std::uint32_t, const void*, std::uint32_t size,
                                       const void* data) {
    auto guard = core_->enter();
    const Selector sel = address.mSelector;
    Resolved r;
    if (Status s = core_->lookup(FaultOperation::write, object, address, r)) {
        return s;
    }
    const World& world = **core_->world();  // the call's world, already loaded by lookup
    Kind kind = core_->find(world, object)->kind;
    auto need = [&](std::uint32_t bytes) { return size == bytes && data != nullptr; };

    if (kind == Kind::system && (sel == kAudioHardwarePropertyDefaultInputDevice ||
                                 sel == kAudioHardwarePropertyDefaultOutputDevice ||
                                 sel == kAudioHardwarePropertyDefaultSystemOutputDevice)) {
        if (!need(4)) {
            return kAudioHardwareBadPropertySizeError;
        }
        ObjectID device;
        std::memcpy(&device, data, 4);
        return core_->mutate([&](World& next) -> Status {
            if (next.findDevice(device) == nullptr) {
                return kAudioHardwareBadDeviceError;
            }
            (sel == kAudioHardwarePropertyDefaultInputDevice    ? next.defaultInput
             : sel == kAudioHardwarePropertyDefaultOutputDevice ? next.defaultOutput
                                                                : next.defaultSystemOutput) =
                device;
            return kAudioHardwareNoError;
        });
    }
    if (kind == Kind::device && sel == kAudioDevicePropertyNominalSampleRate) {
        if (!need(8)) {
            return kAudioHardwareBadPropertySizeError;
        }
        double rate;
        std::memcpy(&rate, data, 8);
        return core_->mutate([&](World& next) -> Status {
            Device* d = next.findDevice(object);
            if (d == nullptr) {
                return kAudioHardwareBadObjectError;
            }
            if (!rateSupported(d->availableRates, rate)) {
                return kAudioDeviceUnsupportedFormatError;
            }
            setDeviceRate(*d, rate);
            return kAudioHardwareNoError;
        });
    }
    if (kind == Kind::device && sel == kAudioDevicePropertyDataSource) {
        if (!need(4)) {
            return kAudioHardwareBadPropertySizeError;
        }
        std::uint32_t source;
        std::memcpy(&source, data, 4);
        return core_->mutate([&](World& next) -> Status {
            Device* d = next.findDevice(object);
            if (d == nullptr) {
                return kAudioHardwareBadObjectError;
            }
            if (std::none_of(d->dataSources.begin(), d->dataSources.end(),
                             [&](const DataSource& s) { return s.id == source; })) {
                return kAudioHardwareIllegalOperationError;
            }
            std::optional<std::int32_t> delay;
            if (d->pendingSource) {
                delay = d->pendingSourceReads;
            } else if (auto rule = takeDelay(next, DelayEffect::dataSource, object, {})) {
                delay = rule->reads;
            }
            if (delay && *delay != 0) {
                d->pendingSource = source;
                d->pendingSourceReads = *delay;
            } else {
                d->currentSource = source;
            }
            return kAudioHardwareNoError;
        });
    }
    if (kind == Kind::stream &&
        (sel == kAudioStreamPropertyPhysicalFormat || sel == kAudioStreamPropertyVirtualFormat)) {
        if (!need(sizeof(AudioStreamBasicDescription))) {
            return kAudioHardwareBadPropertySizeError;
        }
        AudioStreamBasicDescription format;
        std::memcpy(&format, data, sizeof format);
        return core_->mutate([&](World& next) -> Status {
            for (auto& d : next.devices) {
                for (auto& s : d.streams) {
                    if (s.id != object) {
                        continue;
                    }
                    if (!formatSupported(s, sel, format)) {
                        return kAudioDeviceUnsupportedFormatError;
                    }
                    std::optional<std::int32_t> delay;
                    if (s.pendingFormat) {
                        delay = s.pendingReads;
                    } else if (auto rule = takeDelay(next, DelayEffect::streamFormat, object, {})) {
                        delay = rule->reads;
                    }
                    if (delay && *delay != 0) {
                        s.pendingFormat = format;
                        s.pendingReads = *delay;
                    } else {
                        applyFormat(d, s, sel, format);
                    }
                    return kAudioHardwareNoError;
                }
            }
            return kAudioHardwareBadObjectError;
        });
    }
    return kAudioHardwareIllegalOperationError;
}

namespace {

// The typed reads of reference values differ only in the kind of value they accept.
template <typename T>
Status readReference(SimAudioSystem::Core& core, ObjectID object,
                     const AudioObjectPropertyAddress& address, ValueKind kind,
                     std::optional<T> Resolved::*member, std::optional<T>& out) {
    auto guard = core.enter();
    out.reset();
    Resolved r;
    if (Status s = core.lookup(FaultOperation::read, object, address, r)) {
        return s;
    }
    return takeReference(r, kind, member, out);
}

}  // namespace

Status SimAudioSystem::getStringProperty(ObjectID object, const AudioObjectPropertyAddress& address,
                                         std::optional<std::string>& out) {
    return readReference(*core_, object, address, ValueKind::text, &Resolved::text, out);
}

Status SimAudioSystem::getValueProperty(ObjectID object, const AudioObjectPropertyAddress& address,
                                        std::optional<Value>& out) {
    return readReference(*core_, object, address, ValueKind::value, &Resolved::value, out);
}

Status SimAudioSystem::getTapDescription(ObjectID object, const AudioObjectPropertyAddress& address,
                                         std::optional<TapDescription>& out) {
    return readReference(*core_, object, address, ValueKind::tapDescription, &Resolved::tap, out);
}

Status SimAudioSystem::setTapDescription(ObjectID object, const AudioObjectPropertyAddress& address,
                                         const TapDescription& description) {
    auto guard = core_->enter();
    Resolved r;
    if (Status s = core_->lookup(FaultOperation::write, object, address, r)) {
        return s;
    }
    if (r.kind != ValueKind::tapDescription) {
        return kAudioHardwareIllegalOperationError;
    }
    if (r.tap == description) {
        return kAudioHardwareNoError;  // nothing changes, nothing to announce
    }
    return core_->mutate([&](World& next) -> Status {
        for (auto& t : next.taps) {
            if (t.id == object) {
                if (t.description.mono != description.mono) {
                    withChannelsAndRate(t.format, description.mono ? 1 : 2, t.format.mSampleRate);
                }
                t.description = description;
                return kAudioHardwareNoError;
            }
        }
        return kAudioHardwareBadObjectError;
    });
}

Status SimAudioSystem::translateDataSourceName(ObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               std::uint32_t sourceID,
                                               std::optional<std::string>& out) {
    auto guard = core_->enter();
    out.reset();
    Resolved r;
    if (Status s = core_->lookup(FaultOperation::read, object, address, r)) {
        return s;
    }
    if (r.kind != ValueKind::translation) {
        return kAudioHardwareBadPropertySizeError;
    }
    for (const auto& s : (**core_->world()).findDevice(object)->dataSources) {
        if (s.id == sourceID) {
            out = s.name;
            return kAudioHardwareNoError;
        }
    }
    return kAudioHardwareIllegalOperationError;
}

void SimAudioSystem::Core::advanceDelays(ObjectID device, Selector selector) {
    (void)mutate([&](World& w) -> Status {
        Device* d = w.findDevice(device);
        if (d == nullptr) {
            return kAudioHardwareBadObjectError;
        }
        bool changed = false;
        if (selector == kAudioDevicePropertyStreamConfiguration) {
            if (d->hiddenChannelReads > 0) {
                if (--d->hiddenChannelReads == 0) {
                    d->exposedChannels = 0;
                }
                changed = true;
            }
            for (auto& s : d->streams) {
                if (s.pendingFormat && s.pendingReads > 0 && --s.pendingReads == 0) {
                    applyFormat(*d, s, kAudioStreamPropertyPhysicalFormat, *s.pendingFormat);
                    s.pendingFormat.reset();
                    changed = true;
                } else if (s.pendingFormat && s.pendingReads > 0) {
                    changed = true;
                }
            }
        } else if (d->pendingSource && d->pendingSourceReads > 0) {
            if (--d->pendingSourceReads == 0) {
                d->currentSource = d->pendingSource;
                d->pendingSource.reset();
            }
            changed = true;
        }
        return changed ? kAudioHardwareNoError : kAudioHardwareUnspecifiedError;
    });
}

bool SimAudioSystem::supportsProcessTaps() const {
    auto guard = core_->enter();
    auto w = core_->world();
    return !w || (*w)->supportsProcessTaps;
}

}  // namespace pellimar::audio::sim
