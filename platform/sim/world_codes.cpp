#include <charconv>

#include "platform/sim/world.hpp"
#include "platform/sim/world_internal.hpp"

namespace pellimar::audio::sim {

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

}  // namespace pellimar::audio::sim
