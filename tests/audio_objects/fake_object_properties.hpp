#pragma once
// An in-memory audio system for unit tests: properties set directly, faults injected per call,
// and every call recorded so tests can check which platform calls were made and in what order.

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/audio_system/audio_system.hpp"

namespace pellimar::testing {

using namespace pellimar::audio;

class FakeObjectProperties : public AudioSystem {
  public:
    struct Call {
        std::string op;
        ObjectID object = 0;
        Selector selector = 0;
    };

    FakeObjectProperties() {
        for (Selector list :
             {kAudioHardwarePropertyDevices, kAudioHardwarePropertyProcessObjectList,
              kAudioHardwarePropertyTapList}) {
            setList(list, {});
        }
    }

    std::vector<Call> calls;
    std::map<ObjectID, TapDescription> taps;
    std::map<ObjectID, Value> aggregates;
    std::vector<TapDescription> tapDescriptionsSet;
    ObjectID nextID = 100;

    // Fails the next `times` calls of `op` (-1: every call) on object/selector (0: any).
    void fault(const std::string& op, ObjectID object, Selector selector, Status status,
               int times = -1) {
        faults_.push_back({op, object, selector, status, times});
    }

    template <typename T>
    void setScalar(ObjectID object, Selector selector, const T& value, Scope scope = kGlobal) {
        auto& bytes = bytes_[{object, selector, scope}];
        bytes.resize(sizeof(T));
        std::memcpy(bytes.data(), &value, sizeof(T));
    }
    void setBytes(ObjectID object, Selector selector, std::vector<unsigned char> bytes,
                  Scope scope = kGlobal) {
        bytes_[{object, selector, scope}] = std::move(bytes);
    }
    void setList(Selector selector, const std::vector<ObjectID>& ids) {
        std::vector<unsigned char> bytes(ids.size() * 4);
        if (!ids.empty()) {
            std::memcpy(bytes.data(), ids.data(), bytes.size());
        }
        setBytes(kAudioObjectSystemObject, selector, std::move(bytes));
    }
    std::vector<ObjectID> list(Selector selector) const {
        std::vector<ObjectID> ids;
        auto it = bytes_.find({kAudioObjectSystemObject, selector, kGlobal});
        if (it != bytes_.end()) {
            ids.resize(it->second.size() / 4);
            if (!ids.empty()) {
                std::memcpy(ids.data(), it->second.data(), ids.size() * 4);
            }
        }
        return ids;
    }
    void setString(ObjectID object, Selector selector, std::optional<std::string> text) {
        strings_[{object, selector}] = std::move(text);
    }
    void setValue(ObjectID object, Selector selector, std::optional<Value> value) {
        values_[{object, selector}] = std::move(value);
    }

    void addProcess(ObjectID id, std::int32_t pid, const std::string& bundleID, bool running) {
        auto ids = list(kAudioHardwarePropertyProcessObjectList);
        ids.push_back(id);
        setList(kAudioHardwarePropertyProcessObjectList, ids);
        setScalar(id, kAudioProcessPropertyPID, pid);
        setString(id, kAudioProcessPropertyBundleID, bundleID);
        setScalar<std::uint32_t>(id, kAudioProcessPropertyIsRunning, running ? 1 : 0);
    }
    void addDevice(ObjectID id, const std::string& name, const std::string& uid,
                   std::uint32_t inputChannels) {
        addToList(kAudioHardwarePropertyDevices, id);
        setString(id, kAudioObjectPropertyName, name);
        setString(id, kAudioDevicePropertyDeviceUID, uid);
        if (inputChannels > 0) {
            std::vector<unsigned char> config(audioBufferListSize(1), 0);
            const std::uint32_t one = 1;
            std::memcpy(config.data(), &one, 4);
            std::memcpy(config.data() + 8, &inputChannels, 4);
            setBytes(id, kAudioDevicePropertyStreamConfiguration, config,
                     kAudioObjectPropertyScopeInput);
        }
    }
    // A tap left in the system, e.g. by an earlier run.
    ObjectID addTap(const std::string& name, const std::string& uid) {
        const ObjectID id = nextID++;
        registerTap(id, TapDescription{name, {}, false, false, true, false, {}, {}}, uid);
        return id;
    }
    ObjectID addAggregate(const std::string& uid, const Value& composition) {
        const ObjectID id = nextID++;
        registerAggregate(id, uid, composition);
        return id;
    }

    std::size_t countCalls(const std::string& op) const {
        return static_cast<std::size_t>(
            std::count_if(calls.begin(), calls.end(), [&](const Call& c) { return c.op == op; }));
    }
    // Calls that change something.
    std::vector<std::string> mutations() const {
        std::vector<std::string> ops;
        for (const auto& c : calls) {
            if (c.op.starts_with("create") || c.op.starts_with("destroy") ||
                c.op.starts_with("set")) {
                ops.push_back(c.op + " " + std::to_string(c.object));
            }
        }
        return ops;
    }

    bool hasProperty(ObjectID object, const AudioObjectPropertyAddress& address) override {
        if (enter("has", object, address.mSelector) != 0) {
            return false;
        }
        return values_.contains({object, address.mSelector}) ||
               strings_.contains({object, address.mSelector}) ||
               bytes_.contains({object, address.mSelector, address.mScope});
    }
    Status getPropertyDataSize(ObjectID object, const AudioObjectPropertyAddress& address,
                               std::uint32_t, const void*, std::uint32_t& outSize) override {
        if (auto status = enter("size", object, address.mSelector)) {
            return status;
        }
        auto it = bytes_.find({object, address.mSelector, address.mScope});
        if (it == bytes_.end()) {
            return kAudioHardwareUnknownPropertyError;
        }
        outSize = static_cast<std::uint32_t>(it->second.size());
        return 0;
    }
    Status getPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t, const void*, std::uint32_t& ioSize,
                           void* outData) override {
        if (auto status = enter("get", object, address.mSelector)) {
            return status;
        }
        auto it = bytes_.find({object, address.mSelector, address.mScope});
        if (it == bytes_.end()) {
            return kAudioHardwareUnknownPropertyError;
        }
        ioSize = std::min<std::uint32_t>(ioSize, static_cast<std::uint32_t>(it->second.size()));
        if (ioSize > 0) {
            std::memcpy(outData, it->second.data(), ioSize);
        }
        return 0;
    }
    Status setPropertyData(ObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t, const void*, std::uint32_t, const void*) override {
        return enter("setData", object, address.mSelector);
    }
    Status getStringProperty(ObjectID object, const AudioObjectPropertyAddress& address,
                             std::optional<std::string>& out) override {
        if (auto status = enter("string", object, address.mSelector)) {
            return status;
        }
        auto it = strings_.find({object, address.mSelector});
        if (it == strings_.end()) {
            return kAudioHardwareUnknownPropertyError;
        }
        out = it->second;
        return 0;
    }
    Status getValueProperty(ObjectID object, const AudioObjectPropertyAddress& address,
                            std::optional<Value>& out) override {
        if (auto status = enter("value", object, address.mSelector)) {
            return status;
        }
        auto it = values_.find({object, address.mSelector});
        if (it == values_.end()) {
            return kAudioHardwareUnknownPropertyError;
        }
        out = it->second;
        return 0;
    }
    Status getTapDescription(ObjectID object, const AudioObjectPropertyAddress& address,
                             std::optional<TapDescription>& out) override {
        if (auto status = enter("tapDescription", object, address.mSelector)) {
            return status;
        }
        auto it = taps.find(object);
        if (it == taps.end()) {
            return kAudioHardwareBadObjectError;
        }
        out = it->second;
        return 0;
    }
    Status setTapDescription(ObjectID object, const AudioObjectPropertyAddress& address,
                             const TapDescription& description) override {
        if (auto status = enter("setTapDescription", object, address.mSelector)) {
            return status;
        }
        auto it = taps.find(object);
        if (it == taps.end()) {
            return kAudioHardwareBadObjectError;
        }
        it->second = description;
        tapDescriptionsSet.push_back(description);
        return 0;
    }
    Status translateDataSourceName(ObjectID, const AudioObjectPropertyAddress&, std::uint32_t,
                                   std::optional<std::string>&) override {
        return kAudioHardwareUnknownPropertyError;
    }
    Status createAggregateDevice(const Value& description, ObjectID& outDevice) override {
        if (auto status = enter("createAggregate", 0, 0)) {
            return status;
        }
        outDevice = nextID++;
        registerAggregate(outDevice, textOf(description, "uid"), description);
        return 0;
    }
    Status destroyAggregateDevice(ObjectID device) override {
        if (auto status = enter("destroyAggregate", device, 0)) {
            return status;
        }
        if (aggregates.erase(device) == 0) {
            return kAudioHardwareBadObjectError;
        }
        removeFromList(kAudioHardwarePropertyDevices, device);
        values_.erase({device, kAudioAggregateDevicePropertyComposition});
        return 0;
    }
    Status createProcessTap(const TapDescription& description, ObjectID& outTap) override {
        if (auto status = enter("createTap", 0, 0)) {
            return status;
        }
        outTap = nextID++;
        registerTap(outTap, description, "tap-uid-" + std::to_string(outTap));
        return 0;
    }
    Status destroyProcessTap(ObjectID tap) override {
        if (auto status = enter("destroyTap", tap, 0)) {
            return status;
        }
        if (taps.erase(tap) == 0) {
            return kAudioHardwareBadObjectError;
        }
        removeFromList(kAudioHardwarePropertyTapList, tap);
        return 0;
    }
    Status addPropertyListener(ObjectID, const AudioObjectPropertyAddress&, asio::io_context&,
                               PropertyListener, ListenerID& outID) override {
        outID = 1;
        return 0;
    }
    Status removePropertyListener(ListenerID) override { return 0; }
    bool supportsProcessTaps() const override { return true; }
    Result<std::unique_ptr<ProcessRegistration>, std::string> registerProcess(
        const std::string&) override {
        return fail(std::string("not supported"));
    }

  private:
    static constexpr Scope kGlobal = kAudioObjectPropertyScopeGlobal;
    struct Fault {
        std::string op;
        ObjectID object;
        Selector selector;
        Status status;
        int times;
    };

    Status enter(const std::string& op, ObjectID object, Selector selector) {
        calls.push_back({op, object, selector});
        for (auto& f : faults_) {
            if (f.op == op && (f.object == 0 || f.object == object) &&
                (f.selector == 0 || f.selector == selector) && f.times != 0) {
                if (f.times > 0) {
                    --f.times;
                }
                return f.status;
            }
        }
        return 0;
    }
    void addToList(Selector selector, ObjectID id) {
        auto ids = list(selector);
        ids.push_back(id);
        setList(selector, ids);
    }
    void removeFromList(Selector selector, ObjectID id) {
        auto ids = list(selector);
        std::erase(ids, id);
        setList(selector, ids);
    }
    void registerTap(ObjectID id, const TapDescription& description, const std::string& uid) {
        taps[id] = description;
        addToList(kAudioHardwarePropertyTapList, id);
        setString(id, kAudioObjectPropertyName, description.name);
        setString(id, kAudioTapPropertyUID, uid);
        AudioStreamBasicDescription format;
        format.mSampleRate = 48000;
        format.mChannelsPerFrame = description.mono ? 1 : 2;
        setScalar(id, kAudioTapPropertyFormat, format);
    }
    static std::string textOf(const Value& value, const char* key) {
        if (!value.is_object() || !value.contains(key) || !value[key].is_string()) {
            return "";
        }
        return value[key].get<std::string>();
    }
    void registerAggregate(ObjectID id, const std::string& uid, const Value& composition) {
        aggregates[id] = composition;
        addToList(kAudioHardwarePropertyDevices, id);
        setString(id, kAudioDevicePropertyDeviceUID, uid);
        setString(id, kAudioObjectPropertyName, textOf(composition, "name"));
        setValue(id, kAudioAggregateDevicePropertyComposition, composition);
    }

    std::vector<Fault> faults_;
    std::map<std::tuple<ObjectID, Selector, Scope>, std::vector<unsigned char>> bytes_;
    std::map<std::pair<ObjectID, Selector>, std::optional<std::string>> strings_;
    std::map<std::pair<ObjectID, Selector>, std::optional<Value>> values_;
};

}  // namespace pellimar::testing
