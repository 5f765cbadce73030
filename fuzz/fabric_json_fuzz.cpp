// The output fabric's JSON arguments ("ensure", "configure", "restore") and its UTF-8 check, all
// on the same input. The check must agree with the JSON library's own; whatever decodes must be
// UTF-8 JSON text (no control byte but white space), and must encode back to JSON that decodes to
// the same records.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "output_fabric/json_input.hpp"

namespace {

using namespace pellimar::output_fabric;
using nlohmann::json;

bool libraryCallsItUTF8(const std::string& text) {
    try {
        (void)json(text).dump();
        return true;
    } catch (const json::type_error&) {
        return false;
    }
}

json encode(const Fabric& fabric) {
    json members = json::array();
    for (const auto& m : fabric.members) {
        json member{{"stableId", m.stableId}};
        if (m.enabled) {
            member["enabled"] = *m.enabled;
        }
        members.push_back(member);
    }
    json out{{"members", members}};
    if (fabric.clockMasterStableId) {
        out["clockMasterStableId"] = *fabric.clockMasterStableId;
    }
    return out;
}

json encode(const std::vector<ControlRequest>& requests) {
    json out = json::array();
    for (const auto& r : requests) {
        json item{{"stableId", r.stableId}};
        if (r.outputChannels) {
            item["outputChannels"] = *r.outputChannels;
        }
        if (r.sampleRate) {
            item["sampleRate"] = *r.sampleRate;
        }
        if (r.inputSourceId) {
            item["inputSourceId"] = *r.inputSourceId;
        }
        out.push_back(item);
    }
    return out;
}

json encode(const std::vector<ControlRestore>& restores) {
    json out = json::array();
    for (const auto& r : restores) {
        json streams = json::array();
        for (const auto& s : r.streams) {
            streams.push_back(
                {{"physical", s.physical}, {"stream", s.stream}, {"virtual", s.virtualFormat}});
        }
        json item{{"stableId", r.stableId}, {"streams", streams}};
        if (r.inputSourceId) {
            item["inputSourceId"] = *r.inputSourceId;
        }
        out.push_back(item);
    }
    return out;
}

// A number too large for a double reads as infinity, which JSON cannot write back (configure
// refuses it later); such a request is left out of the round trip.
bool writable(const std::vector<ControlRequest>& requests) {
    for (const auto& r : requests) {
        if (r.sampleRate && !std::isfinite(*r.sampleRate)) {
            return false;
        }
    }
    return true;
}
bool writable(const Fabric&) {
    return true;
}
bool writable(const std::vector<ControlRestore>&) {
    return true;
}

template <typename T, typename Decode>
void check(const std::string& text, Decode decode) {
    const auto first = decode(text);
    if (!first) {
        if (first.error().description().empty()) {
            std::abort();  // a refusal that says nothing
        }
        return;
    }
    if (!isUTF8(text)) {
        std::abort();  // decoded from bytes that are not UTF-8
    }
    for (unsigned char c : text) {
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            std::abort();  // JSON text holds no control byte but white space
        }
    }
    if (!writable(*first)) {
        return;
    }
    const auto again = decode(encode(*first).dump());
    if (!again || !(*again == *first)) {
        std::abort();  // records that do not survive being written out
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (isUTF8(text) != libraryCallsItUTF8(text)) {
        std::abort();
    }
    check<Fabric>(text, decodeFabric);
    check<std::vector<ControlRequest>>(text, decodeControlRequests);
    check<std::vector<ControlRestore>>(text, decodeControlRestores);
    return 0;
}
