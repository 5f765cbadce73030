#include "platform/pipewire/devices.hpp"

#include <pipewire/keys.h>
#include <spa/param/audio/raw.h>

#include "platform/pipewire/objects.hpp"

namespace pellimar::audio::pipewire {

namespace {

// The format the node runs with, else the one it offers first.
const FormatInfo* currentFormat(const Node& node) {
    if (node.format && node.format->channels > 0) {
        return &*node.format;
    }
    return node.enumFormats.empty() ? nullptr : &node.enumFormats.front();
}

}  // namespace

bool isDeviceClass(const std::string& mediaClass) {
    return mediaClass == "Audio/Sink" || mediaClass == "Audio/Source" ||
           mediaClass == "Audio/Source/Virtual" || mediaClass == "Audio/Duplex";
}

bool hasDirection(const Node& node, Direction direction) {
    const std::string& c = node.mediaClass();
    if (c == "Audio/Duplex") {
        return true;
    }
    return direction == Direction::output ? c == "Audio/Sink"
                                          : (c == "Audio/Source" || c == "Audio/Source/Virtual");
}

std::string prop(const Properties& props, const char* key) {
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
}

std::uint32_t channelCount(const Node& node) {
    if (const FormatInfo* f = currentFormat(node); f && f->channels > 0) {
        return f->channels;
    }
    try {
        return std::uint32_t(std::stoul(prop(node.props, PW_KEY_AUDIO_CHANNELS)));
    } catch (...) {
        return 0;
    }
}

double nominalRate(const Node& node) {
    if (node.format && node.format->rate > 0) {
        return node.format->rate;
    }
    if (!node.enumFormats.empty() && node.enumFormats.front().rate > 0) {
        return node.enumFormats.front().rate;
    }
    return kGraphRate;
}

std::vector<AudioValueRange> availableRates(const Node& node) {
    std::vector<AudioValueRange> rates;
    if (node.enumFormats.empty()) {
        const double rate = nominalRate(node);
        return {{rate, rate}};
    }
    const FormatInfo& f = node.enumFormats.front();
    if (f.rateRange) {
        rates.push_back({f.rateRange->first, f.rateRange->second});
    } else if (!f.rateChoices.empty()) {
        for (double r : f.rateChoices) {
            rates.push_back({r, r});
        }
    } else if (f.rate > 0) {
        rates.push_back({f.rate, f.rate});
    }
    return rates;
}

std::uint32_t transportType(const Node& node) {
    if (node.props.contains(kCompositionKey)) {
        return kAudioDeviceTransportTypeAggregate;
    }
    const std::string bus = prop(node.props, PW_KEY_DEVICE_BUS);
    const std::string api = prop(node.props, PW_KEY_DEVICE_API);
    if (bus == "usb") {
        return kAudioDeviceTransportTypeUSB;
    }
    if (bus == "bluetooth" || api.rfind("bluez", 0) == 0) {
        return kAudioDeviceTransportTypeBluetooth;
    }
    if (bus == "pci" || bus == "built-in" || bus == "isa") {
        return kAudioDeviceTransportTypeBuiltIn;
    }
    return kAudioDeviceTransportTypeVirtual;
}

std::optional<AudioStreamBasicDescription> describe(std::uint32_t spaFormat, double rate,
                                                    std::uint32_t channels) {
    AudioStreamBasicDescription d;
    d.mSampleRate = rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    std::uint32_t bytes = 0;
    bool planar = false;
    switch (spaFormat) {
        case SPA_AUDIO_FORMAT_F32P:
            planar = true;
            [[fallthrough]];
        case SPA_AUDIO_FORMAT_F32:
            d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
            d.mBitsPerChannel = 32;
            bytes = 4;
            break;
        case SPA_AUDIO_FORMAT_F64P:
            planar = true;
            [[fallthrough]];
        case SPA_AUDIO_FORMAT_F64:
            d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
            d.mBitsPerChannel = 64;
            bytes = 8;
            break;
        case SPA_AUDIO_FORMAT_S16P:
            planar = true;
            [[fallthrough]];
        case SPA_AUDIO_FORMAT_S16:
            d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
            d.mBitsPerChannel = 16;
            bytes = 2;
            break;
        case SPA_AUDIO_FORMAT_S24P:
            planar = true;
            [[fallthrough]];
        case SPA_AUDIO_FORMAT_S24:
            d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
            d.mBitsPerChannel = 24;
            bytes = 3;
            break;
        case SPA_AUDIO_FORMAT_S24_32P:
            planar = true;
            [[fallthrough]];
        case SPA_AUDIO_FORMAT_S24_32:
            d.mFormatFlags = kAudioFormatFlagIsSignedInteger;  // 24 bits in 32, not packed
            d.mBitsPerChannel = 24;
            bytes = 4;
            break;
        case SPA_AUDIO_FORMAT_S32P:
            planar = true;
            [[fallthrough]];
        case SPA_AUDIO_FORMAT_S32:
            d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
            d.mBitsPerChannel = 32;
            bytes = 4;
            break;
        default:
            return std::nullopt;
    }
    if (planar) {
        d.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
        d.mBytesPerFrame = bytes;
    } else {
        d.mBytesPerFrame = bytes * channels;
    }
    d.mBytesPerPacket = d.mBytesPerFrame;
    return d;
}

AudioStreamBasicDescription virtualFormat(const Node& node) {
    return *describe(SPA_AUDIO_FORMAT_F32, nominalRate(node), channelCount(node));
}

AudioStreamBasicDescription physicalFormat(const Node& node) {
    const FormatInfo* f = currentFormat(node);
    if (f && !f->sampleFormats.empty()) {
        if (auto d = describe(f->sampleFormats.front(), nominalRate(node), channelCount(node))) {
            return *d;
        }
    }
    return virtualFormat(node);
}

std::vector<AudioStreamRangedDescription> availableFormats(const Node& node, bool physical) {
    std::vector<AudioStreamRangedDescription> out;
    const auto rates = availableRates(node);
    const AudioValueRange span =
        rates.empty() ? AudioValueRange{nominalRate(node), nominalRate(node)}
                      : AudioValueRange{rates.front().mMinimum, rates.back().mMaximum};
    std::vector<std::uint32_t> formats{SPA_AUDIO_FORMAT_F32};
    if (physical && !node.enumFormats.empty() && !node.enumFormats.front().sampleFormats.empty()) {
        formats = node.enumFormats.front().sampleFormats;
    }
    for (auto spaFormat : formats) {
        if (auto d = describe(spaFormat, nominalRate(node), channelCount(node))) {
            out.push_back({*d, span});
        }
    }
    return out;
}

}  // namespace pellimar::audio::pipewire
