// Objects a program makes and removes: aggregate devices, process taps and this process's
// listing as an audio process.

#include <unistd.h>

#include "platform/json/json_checks.hpp"
#include "platform/sim/core.hpp"

namespace pellimar::audio::sim {

namespace {

AudioObjectPropertyAddress globalAddress(Selector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

ObjectID fallbackDefault(const World& w, StreamScope scope) {
    for (const auto& d : w.devices) {
        if (!d.isAggregate() && d.channels(scope) > 0) {
            return d.id;
        }
    }
    return 0;
}

}  // namespace

Status SimAudioSystem::createAggregateDevice(const Value& description, ObjectID& outDevice) {
    auto guard = core_->enter();
    outDevice = kAudioObjectUnknown;
    if (Status s =
            core_->fault(FaultOperation::create, 0, globalAddress(kSimCreateAggregateDevice))) {
        return s;
    }
    if (!description.is_object() ||
        !pellimar::json::nestedWithin(description, kMaxDescriptionNesting)) {
        return kAudio_ParamError;
    }
    if (auto uid = description.find("uid"); uid != description.end() && !uid->is_string()) {
        return kAudio_ParamError;
    }
    ObjectID created = 0;
    Status status = core_->mutate([&](World& w) -> Status {
        if (auto uid = description.find("uid");
            uid != description.end() && w.findDeviceByUID(uid->get<std::string>()) != nullptr) {
            return kAudioHardwareIllegalOperationError;  // UIDs are unique on the system
        }
        Device d = makeAggregate(w, description);
        if (auto rule = takeDelay(w, DelayEffect::aggregateChannels, 0, d.uid)) {
            d.hiddenChannelReads = rule->reads;
            d.exposedChannels = rule->channels;
        }
        created = d.id;
        w.devices.push_back(std::move(d));
        return kAudioHardwareNoError;
    });
    if (status == kAudioHardwareNoError) {
        outDevice = created;
    }
    return status;
}

Status SimAudioSystem::destroyAggregateDevice(ObjectID device) {
    auto guard = core_->enter();
    if (Status s = core_->fault(FaultOperation::destroy, device,
                                globalAddress(kSimDestroyAggregateDevice))) {
        return s;
    }
    return core_->mutate([&](World& w) -> Status {
        const Device* d = w.findDevice(device);
        if (d == nullptr || !d->isAggregate()) {
            return kAudioHardwareBadObjectError;
        }
        std::erase_if(w.devices, [&](const Device& x) { return x.id == device; });
        if (w.defaultInput == device) {
            w.defaultInput = fallbackDefault(w, StreamScope::input);
        }
        if (w.defaultOutput == device) {
            w.defaultOutput = fallbackDefault(w, StreamScope::output);
        }
        if (w.defaultSystemOutput == device) {
            w.defaultSystemOutput = fallbackDefault(w, StreamScope::output);
        }
        return kAudioHardwareNoError;
    });
}

Status SimAudioSystem::createProcessTap(const TapDescription& description, ObjectID& outTap) {
    auto guard = core_->enter();
    outTap = kAudioObjectUnknown;
    if (Status s = core_->fault(FaultOperation::create, 0, globalAddress(kSimCreateProcessTap))) {
        return s;
    }
    ObjectID created = 0;
    Status status = core_->mutate([&](World& w) -> Status {
        Tap t;
        t.id = created = w.allocateID();
        t.uid = newTapUID();
        t.description = description;
        t.format = tapFormat(description.mono);
        w.taps.push_back(std::move(t));
        return kAudioHardwareNoError;
    });
    if (status == kAudioHardwareNoError) {
        outTap = created;
    }
    return status;
}

Status SimAudioSystem::destroyProcessTap(ObjectID tap) {
    auto guard = core_->enter();
    if (Status s =
            core_->fault(FaultOperation::destroy, tap, globalAddress(kSimDestroyProcessTap))) {
        return s;
    }
    return core_->mutate([&](World& w) -> Status {
        auto removed = std::erase_if(w.taps, [&](const Tap& t) { return t.id == tap; });
        return removed > 0 ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
    });
}

namespace {

class SimRegistration final : public ProcessRegistration {
  public:
    SimRegistration(std::shared_ptr<SimAudioSystem::Core> core, ObjectID id)
        : core_(std::move(core)), id_(id) {}
    ~SimRegistration() override {
        auto guard = core_->enter();
        (void)core_->mutate([&](World& w) -> Status {
            auto removed =
                std::erase_if(w.processes, [&](const Process& p) { return p.id == id_; });
            return removed > 0 ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
        });
    }
    SimRegistration(const SimRegistration&) = delete;
    SimRegistration& operator=(const SimRegistration&) = delete;

    ObjectID objectID() const override { return id_; }

    void setRunning(bool running) override {
        auto guard = core_->enter();
        (void)core_->mutate([&](World& w) -> Status {
            for (auto& p : w.processes) {
                if (p.id == id_ && p.running != running) {
                    p.running = running;
                    return kAudioHardwareNoError;
                }
            }
            return kAudioHardwareBadObjectError;  // nothing to write
        });
    }

  private:
    std::shared_ptr<SimAudioSystem::Core> core_;
    ObjectID id_;
};

}  // namespace

Result<std::unique_ptr<ProcessRegistration>, std::string> SimAudioSystem::registerProcess(
    const std::string& bundleID) {
    auto guard = core_->enter();
    auto pid = std::int32_t(::getpid());
    auto start = processStartTime(pid);
    if (!start) {
        return fail(std::string("Simulated audio system: cannot read this process's start time"));
    }
    ObjectID id = 0;
    core_->callWorld = nullptr;
    auto r = core_->store->mutate([&](World& w) {
        Process p;
        p.id = id = w.allocateID();
        p.pid = pid;
        p.bundleID = bundleID;
        p.kind = ProcessKind::live;
        p.startTime = *start;
        w.processes.push_back(p);
        return true;
    });
    if (!r) {
        return fail(r.error());
    }
    return std::unique_ptr<ProcessRegistration>(new SimRegistration(core_, id));
}

}  // namespace pellimar::audio::sim
