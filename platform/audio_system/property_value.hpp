#pragma once
// One property's current value as a backend resolves it, and what every backend does with it
// alike: size queries, fixed-size reads, typed reference reads, and the fingerprint listeners
// compare to tell a change.

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_system/audio_system.hpp"

namespace pellimar::audio {

enum class ValueKind { fixed, text, value, tapDescription, translation };

// One property's current value, as the platform hands it out.
struct Resolved {
    ValueKind kind = ValueKind::fixed;
    std::vector<std::uint8_t> bytes;
    std::uint32_t header = 0;   // bytes before the elements (the whole value for scalars)
    std::uint32_t element = 0;  // 0 for scalars
    std::uint32_t count = 0;
    bool bufferList = false;
    std::optional<std::string> text;
    std::optional<Value> value;
    std::optional<TapDescription> tap;
    bool consumesDelay = false;  // reading it advances a delayed effect
};

template <typename T>
void append(std::vector<std::uint8_t>& bytes, const T& value) {
    auto at = bytes.size();
    bytes.resize(at + sizeof(T));
    std::memcpy(bytes.data() + at, &value, sizeof(T));
}

template <typename T>
Status scalar(Resolved& out, const T& value) {
    append(out.bytes, value);
    out.header = sizeof(T);
    return kAudioHardwareNoError;
}

// Appends the elements, after any header already written.
template <typename T>
Status list(Resolved& out, const std::vector<T>& values) {
    for (const auto& v : values) {
        append(out.bytes, v);
    }
    out.element = sizeof(T);
    out.count = std::uint32_t(values.size());
    return kAudioHardwareNoError;
}

// A stream configuration: an AudioBufferList with one buffer of each channel count.
Status bufferList(Resolved& out, const std::vector<std::uint32_t>& channels);
Status text(Resolved& out, std::optional<std::string> value);
Status value(Resolved& out, Value value);
Status tapDescription(Resolved& out, TapDescription description);

// An audio process's properties: its pid, bundle ID and whether it does audio I/O.
Status processProperty(Selector selector, std::int32_t pid, std::optional<std::string> bundleID,
                       bool running, Resolved& out);

// AudioObjectGetPropertyDataSize's answer: the bytes of a fixed value, one reference otherwise.
std::uint32_t dataSize(const Resolved& r);

// AudioObjectGetPropertyData's copy of a fixed-size value into a buffer of `capacity` bytes;
// ioSize is the bytes written. A buffer too small for one element fails with '!siz'.
Status copyFixed(const Resolved& r, std::uint32_t capacity, void* outData, std::uint32_t& ioSize);

// The typed reads of reference values differ only in the kind of value they accept.
template <typename T>
Status takeReference(Resolved& r, ValueKind kind, std::optional<T> Resolved::*member,
                     std::optional<T>& out) {
    if (r.kind != kind) {
        return kAudioHardwareBadPropertySizeError;
    }
    out = std::move(r.*member);
    return kAudioHardwareNoError;
}

// Equal for equal answers, so a listener is told only when the answer changed. A translation's
// names are the backend's to add.
std::string fingerprint(Status status, const Resolved& r);

// A registered property listener: its callback runs on `loop` when the property's fingerprint
// changes from the one kept here.
struct ListenerEntry {
    ObjectID object = 0;
    AudioObjectPropertyAddress address;
    asio::io_context* loop = nullptr;
    std::shared_ptr<PropertyListener> callback;
    std::string fingerprint;
};

}  // namespace pellimar::audio
