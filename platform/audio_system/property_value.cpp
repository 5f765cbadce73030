#include "platform/audio_system/property_value.hpp"

#include <algorithm>

namespace pellimar::audio {

Status bufferList(Resolved& out, const std::vector<std::uint32_t>& channels) {
    std::vector<AudioBuffer> buffers;
    for (auto c : channels) {
        AudioBuffer b;
        b.mNumberChannels = c;
        buffers.push_back(b);
    }
    append(out.bytes, std::uint32_t(buffers.size()));
    append(out.bytes, std::uint32_t(0));  // alignment padding of the SDK layout
    out.header = 8;
    list(out, buffers);
    out.bufferList = true;
    return kAudioHardwareNoError;
}

Status text(Resolved& out, std::optional<std::string> value) {
    out.kind = ValueKind::text;
    out.text = std::move(value);
    return kAudioHardwareNoError;
}

Status value(Resolved& out, Value value) {
    out.kind = ValueKind::value;
    out.value = std::move(value);
    return kAudioHardwareNoError;
}

Status tapDescription(Resolved& out, TapDescription description) {
    out.kind = ValueKind::tapDescription;
    out.tap = std::move(description);
    return kAudioHardwareNoError;
}

Status processProperty(Selector selector, std::int32_t pid, std::optional<std::string> bundleID,
                       bool running, Resolved& out) {
    switch (selector) {
        case kAudioProcessPropertyPID:
            return scalar(out, pid);
        case kAudioProcessPropertyBundleID:
            return text(out, std::move(bundleID));
        case kAudioProcessPropertyIsRunning:
            return scalar(out, std::uint32_t(running ? 1 : 0));
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

std::uint32_t dataSize(const Resolved& r) {
    switch (r.kind) {
        case ValueKind::fixed:
            return std::uint32_t(r.bytes.size());
        case ValueKind::translation:
            return 32;  // AudioValueTranslation
        default:
            return 8;  // one reference
    }
}

Status copyFixed(const Resolved& r, std::uint32_t capacity, void* outData, std::uint32_t& ioSize) {
    ioSize = 0;
    if (r.kind != ValueKind::fixed) {
        // Reference values are read through the typed calls.
        return kAudioHardwareIllegalOperationError;
    }
    const std::uint32_t minimum = r.header + (r.count > 0 ? r.element : 0);
    if (capacity < minimum || (outData == nullptr && minimum > 0)) {
        return kAudioHardwareBadPropertySizeError;
    }
    const std::uint32_t fit =
        r.element == 0 ? 0 : std::min(r.count, (capacity - r.header) / r.element);
    const std::uint32_t size = r.header + fit * r.element;
    if (size > 0) {
        std::memcpy(outData, r.bytes.data(), size);
    }
    if (r.bufferList) {
        std::memcpy(outData, &fit, sizeof fit);  // mNumberBuffers: the buffers written
    }
    ioSize = size;
    return kAudioHardwareNoError;
}

std::string fingerprint(Status status, const Resolved& r) {
    std::string print = "status " + std::to_string(status) + ":";
    if (status != kAudioHardwareNoError) {
        return print;
    }
    switch (r.kind) {
        case ValueKind::fixed:
            print.append(r.bytes.begin(), r.bytes.end());
            break;
        case ValueKind::text:
            print += r.text ? "text:" + *r.text : "null";
            break;
        case ValueKind::value:
            print += r.value ? r.value->dump() : "null";
            break;
        case ValueKind::tapDescription:
            print += r.tap ? tapDescriptionToJson(*r.tap).dump() : "null";
            break;
        case ValueKind::translation:
            break;
    }
    return print;
}

}  // namespace pellimar::audio
