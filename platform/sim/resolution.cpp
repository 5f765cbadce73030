// Answers from the world: the index of its objects, injected faults, each property's current
// value and the fingerprint listeners compare.

#include <algorithm>
#include <climits>

#include "platform/sim/core.hpp"

namespace pellimar::audio::sim {

namespace {

bool inputOrOutput(Scope scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

bool inScope(const Stream& s, Scope scope) {
    if (scope == kAudioObjectPropertyScopeInput) {
        return s.scope == StreamScope::input;
    }
    if (scope == kAudioObjectPropertyScopeOutput) {
        return s.scope == StreamScope::output;
    }
    return true;
}

}  // namespace

Result<const World*, Status> SimAudioSystem::Core::world() {
    if (callWorld != nullptr) {
        return callWorld;
    }
    auto w = store->current();
    if (!w) {
        return fail(kAudioHardwareUnspecifiedError);
    }
    if (indexedGeneration != store->generation()) {
        index.clear();
        const World& world = **w;
        for (std::size_t i = 0; i < world.devices.size(); ++i) {
            index[world.devices[i].id] = {Kind::device, i, 0};
            for (std::size_t s = 0; s < world.devices[i].streams.size(); ++s) {
                index[world.devices[i].streams[s].id] = {Kind::stream, i, s};
            }
        }
        for (std::size_t i = 0; i < world.processes.size(); ++i) {
            index[world.processes[i].id] = {Kind::process, i, 0};
        }
        for (std::size_t i = 0; i < world.taps.size(); ++i) {
            index[world.taps[i].id] = {Kind::tap, i, 0};
        }
        index[kAudioObjectSystemObject] = {Kind::system, 0, 0};
        indexedGeneration = store->generation();
    }
    callWorld = *w;
    return *w;
}

const Ref* SimAudioSystem::Core::find(const World& w, ObjectID id) {
    auto it = index.find(id);
    if (it == index.end()) {
        return nullptr;
    }
    if (it->second.kind == Kind::process) {
        const Process& p = w.processes[it->second.index];
        if (p.kind == ProcessKind::live && !store->liveness().alive(p.pid, p.startTime)) {
            return nullptr;
        }
    }
    return &it->second;
}

Status SimAudioSystem::Core::mutate(const std::function<Status(World&)>& change) {
    Status status = kAudioHardwareNoError;
    callWorld = nullptr;
    auto r = store->mutate([&](World& w) {
        status = change(w);
        return status == kAudioHardwareNoError;
    });
    if (!r) {
        return kAudioHardwareUnspecifiedError;
    }
    return status;
}

Status SimAudioSystem::Core::fault(FaultOperation operation, ObjectID object,
                                   const AudioObjectPropertyAddress& address) {
    const Selector selector = address.mSelector;
    // A counted fault fires once per count across all processes, so it is claimed under the lock.
    for (int attempt = 0; attempt < 8; ++attempt) {
        auto w = world();
        if (!w) {
            return w.error();
        }
        const Fault* match = nullptr;
        for (const auto& f : (*w)->faults) {
            if (f.operation == operation && (f.object == 0 || f.object == object) &&
                (f.selector == 0 || f.selector == selector) &&
                (f.scope == 0 || f.scope == address.mScope) &&
                (!f.element || *f.element == address.mElement) && f.count != 0) {
                match = &f;
                break;
            }
        }
        if (match == nullptr) {
            return kAudioHardwareNoError;
        }
        if (match->count < 0 && match->skip == 0) {
            return match->status;
        }
        ObjectID id = match->id;
        Status status = match->status;
        bool fired = false;
        bool passed = false;
        callWorld = nullptr;
        auto r = store->mutate([&](World& next) {
            for (auto it = next.faults.begin(); it != next.faults.end(); ++it) {
                if (it->id != id || it->count == 0) {
                    continue;
                }
                if (it->skip > 0) {
                    --it->skip;
                    passed = true;
                } else {
                    fired = true;
                    if (it->count > 0 && --it->count == 0) {
                        next.faults.erase(it);
                    }
                }
                return true;
            }
            return false;
        });
        if (!r) {
            return kAudioHardwareUnspecifiedError;
        }
        if (passed) {
            return kAudioHardwareNoError;
        }
        if (fired) {
            return status;
        }
    }
    return kAudioHardwareNoError;
}

Status SimAudioSystem::Core::resolve(const World& w, ObjectID object,
                                     const AudioObjectPropertyAddress& address, Resolved& out) {
    const Ref* ref = find(w, object);
    if (ref == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    const Selector sel = address.mSelector;
    const Scope scope = address.mScope;
    switch (ref->kind) {
        case Kind::system: {
            std::vector<ObjectID> ids;
            switch (sel) {
                case kAudioHardwarePropertyDevices:
                    for (const auto& d : w.devices) {
                        ids.push_back(d.id);
                    }
                    return list(out, ids);
                case kAudioHardwarePropertyProcessObjectList:
                    for (const auto& p : w.processes) {
                        if (p.kind == ProcessKind::simulated ||
                            store->liveness().alive(p.pid, p.startTime)) {
                            ids.push_back(p.id);
                        }
                    }
                    return list(out, ids);
                case kAudioHardwarePropertyTapList:
                    for (const auto& t : w.taps) {
                        ids.push_back(t.id);
                    }
                    return list(out, ids);
                case kAudioHardwarePropertyDefaultInputDevice:
                    return scalar(out, w.defaultInput);
                case kAudioHardwarePropertyDefaultOutputDevice:
                    return scalar(out, w.defaultOutput);
                case kAudioHardwarePropertyDefaultSystemOutputDevice:
                    return scalar(out, w.defaultSystemOutput);
                default:
                    return kAudioHardwareUnknownPropertyError;
            }
        }
        case Kind::device: {
            const Device& d = w.devices[ref->index];
            switch (sel) {
                case kAudioObjectPropertyName:
                    return text(out, d.nameIsNull ? std::nullopt : std::optional(d.name));
                case kAudioDevicePropertyDeviceUID:
                    return text(out, d.uidIsNull ? std::nullopt : std::optional(d.uid));
                case kAudioDevicePropertyTransportType:
                    return scalar(out, d.transportType);
                case kAudioDevicePropertyNominalSampleRate:
                    return scalar(out, d.nominalRate);
                case kAudioDevicePropertyAvailableNominalSampleRates:
                    return list(out, d.availableRates);
                case kAudioDevicePropertyStreamConfiguration: {
                    if (!inputOrOutput(scope)) {
                        return kAudioHardwareUnknownPropertyError;
                    }
                    std::vector<std::uint32_t> channels;
                    // While hidden, only the first exposedChannels channels show.
                    std::uint32_t shown =
                        d.hiddenChannelReads == 0 ? UINT32_MAX : d.exposedChannels;
                    for (const auto& s : d.streams) {
                        if (inScope(s, scope) && shown > 0) {
                            channels.push_back(std::min(shown, s.channels()));
                            shown -= channels.back();
                        }
                    }
                    out.consumesDelay = d.hiddenChannelReads > 0;
                    for (const auto& s : d.streams) {
                        out.consumesDelay |= s.pendingFormat.has_value() && s.pendingReads > 0;
                    }
                    return bufferList(out, channels);
                }
                case kAudioDevicePropertyStreams: {
                    std::vector<ObjectID> ids;
                    for (const auto& s : d.streams) {
                        if (inScope(s, scope)) {
                            ids.push_back(s.id);
                        }
                    }
                    return list(out, ids);
                }
                case kAudioDevicePropertyDataSources:
                case kAudioDevicePropertyDataSource:
                case kAudioDevicePropertyDataSourceNameForIDCFString: {
                    if (scope != kAudioObjectPropertyScopeInput || d.dataSources.empty()) {
                        return kAudioHardwareUnknownPropertyError;
                    }
                    if (sel == kAudioDevicePropertyDataSourceNameForIDCFString) {
                        out.kind = ValueKind::translation;
                        return kAudioHardwareNoError;
                    }
                    std::vector<ObjectID> ids;
                    if (sel == kAudioDevicePropertyDataSources) {
                        for (const auto& s : d.dataSources) {
                            ids.push_back(s.id);
                        }
                    } else {
                        if (d.currentSource) {
                            ids.push_back(*d.currentSource);
                        }
                        out.consumesDelay = d.pendingSource.has_value() && d.pendingSourceReads > 0;
                    }
                    return list(out, ids);
                }
                case kAudioAggregateDevicePropertyComposition:
                    if (!d.composition) {
                        return kAudioHardwareUnknownPropertyError;
                    }
                    return value(out, *d.composition);
                default:
                    return kAudioHardwareUnknownPropertyError;
            }
        }
        case Kind::stream: {
            const Stream& s = w.devices[ref->index].streams[ref->sub];
            switch (sel) {
                case kAudioStreamPropertyVirtualFormat:
                    return scalar(out, s.virtualFormat);
                case kAudioStreamPropertyPhysicalFormat:
                    return scalar(out, s.physical);
                case kAudioStreamPropertyAvailablePhysicalFormats:
                case kAudioStreamPropertyAvailableVirtualFormats: {
                    const auto& formats = sel == kAudioStreamPropertyAvailablePhysicalFormats
                                              ? s.availablePhysical
                                              : s.virtualFormats();
                    return list(out, formats);
                }
                case kAudioStreamPropertyDirection:
                    return scalar(out, std::uint32_t(s.scope == StreamScope::input ? 1 : 0));
                default:
                    return kAudioHardwareUnknownPropertyError;
            }
        }
        case Kind::process: {
            const Process& p = w.processes[ref->index];
            return processProperty(sel, p.pid, p.bundleID, p.running, out);
        }
        case Kind::tap: {
            const Tap& t = w.taps[ref->index];
            switch (sel) {
                case kAudioObjectPropertyName:
                    return text(out, t.description.name);
                case kAudioTapPropertyUID:
                    return text(out, t.uid);
                case kAudioTapPropertyFormat:
                    return scalar(out, t.format);
                case kAudioTapPropertyDescription:
                    return tapDescription(out, t.description);
                default:
                    return kAudioHardwareUnknownPropertyError;
            }
        }
    }
    return kAudioHardwareUnknownPropertyError;
}

std::string SimAudioSystem::Core::fingerprint(ObjectID object,
                                              const AudioObjectPropertyAddress& address) {
    auto w = world();
    if (!w) {
        return "status " + std::to_string(w.error());
    }
    Resolved r;
    Status status = resolve(**w, object, address, r);
    std::string print = audio::fingerprint(status, r);
    if (status == kAudioHardwareNoError && r.kind == ValueKind::translation) {
        for (const auto& s : (*w)->findDevice(object)->dataSources) {
            print += std::to_string(s.id) + "=" + (s.name ? "text:" + *s.name : "null") + ";";
        }
    }
    return print;
}

}  // namespace pellimar::audio::sim
