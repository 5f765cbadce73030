#include <cassert>

#include "platform/sim/world.hpp"
#include "platform/sim/world_internal.hpp"
#include "platform/sim/world_store.hpp"

namespace pellimar::audio::sim {

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
    t.uid = uid.empty() ? newTapUID() : std::move(uid);
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

Result<void, std::string> WorldBuilder::write(const std::string& path) const {
    if (!allFinite(world_)) {
        return fail(std::string(kNotFinite));
    }
    return WorldStore::writeWorld(path, world_);
}

}  // namespace pellimar::audio::sim
