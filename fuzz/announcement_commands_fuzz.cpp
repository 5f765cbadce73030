// What a controller sends the announcement service: bytes cut into lines, each line decoded as a
// command. The first byte chooses the longest line allowed (255: the real limit; otherwise that
// many bytes, so that over-long lines are reached with short inputs), the second how the stream
// is split into reads; the rest is the stream. The lines taken, and whether the stream is refused
// as too long, must not depend on the split; a line decoded must be JSON text, and its command
// must encode back to itself.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "announcement_player/control_protocol.hpp"

namespace {

using namespace pellimar::announcement;
using nlohmann::json;

struct Framing {
    std::vector<std::string> lines;
    bool tooLong = false;
    bool operator==(const Framing&) const = default;
};

// The stream taken as a whole.
Framing expected(std::string_view stream, std::size_t limit) {
    Framing out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t newline = stream.find('\n', start);
        const std::size_t end = newline == std::string_view::npos ? stream.size() : newline;
        if (end - start > limit) {
            out.tooLong = true;
            return out;
        }
        if (newline == std::string_view::npos) {
            return out;
        }
        out.lines.emplace_back(stream.substr(start, end - start));
        start = newline + 1;
    }
}

// The stream as the service receives it: reads of 1 to 8192 bytes, each followed by taking every
// complete line, until a line is found too long.
Framing received(std::string_view stream, std::size_t limit, std::uint32_t seed) {
    Framing out;
    ControlLineBuffer buffer(limit);
    std::uint32_t state = seed * 2654435761u + 1;
    while (!stream.empty()) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        static constexpr std::size_t kReads[] = {1, 7, 64, 8192};
        const std::size_t n = std::min(stream.size(), 1 + state % kReads[state >> 30]);
        buffer.append(stream.substr(0, n));
        stream.remove_prefix(n);
        while (auto line = buffer.next()) {
            out.lines.emplace_back(*line);
        }
        if (buffer.tooLong()) {
            out.tooLong = true;
            break;
        }
    }
    return out;
}

// JSON text holds no control byte but white space, and is UTF-8.
bool couldBeJSON(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            return false;
        }
    }
    try {
        (void)json(std::string(text)).dump();
        return true;
    } catch (const json::type_error&) {
        return false;
    }
}

json encode(const AnnouncementCommand& command) {
    json object = json::object();
    if (!command.id.empty()) {
        object["id"] = command.id;
    }
    auto optional = [&](const char* key, const std::optional<std::string>& value) {
        if (value) {
            object[key] = *value;
        }
    };
    optional("command", command.name);
    optional("filePath", command.filePath);
    optional("clip", command.clip);
    optional("target", command.target);
    return object;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t limit = data[0] == 255 ? kReceiveLimit : data[0];
    const std::string_view stream(reinterpret_cast<const char*>(data + 2), size - 2);
    const Framing framing = expected(stream, limit);
    if (received(stream, limit, data[1]) != framing ||
        received(stream, limit, ~data[1]) != framing) {
        std::abort();  // the lines depend on how the stream was split
    }
    for (const std::string& line : framing.lines) {
        const auto object = decodeControlLine(line);
        if (!object) {
            continue;
        }
        if (!couldBeJSON(line)) {
            std::abort();  // a line taken for a command that is no JSON text
        }
        const AnnouncementCommand command = decodeAnnouncementCommand(*object);
        // What the service sends back quotes the id; the event must always be writable.
        const std::string text = encode(command).dump();
        const auto again = decodeControlLine(text);
        if (!again || decodeAnnouncementCommand(*again) != command) {
            std::abort();
        }
    }
    return 0;
}
