#include "announcement_player/control_protocol.hpp"

#include <utility>

#include <nlohmann/json.hpp>

#include "platform/json/json_checks.hpp"

namespace pellimar::announcement {

using nlohmann::json;

namespace {

std::optional<std::string> optionalString(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

}  // namespace

void ControlLineBuffer::append(std::string_view bytes) {
    // Lines already taken are dropped only now, so that views handed out stay valid until then.
    received_.erase(0, start_);
    start_ = 0;
    received_.append(bytes);
}

std::optional<std::string_view> ControlLineBuffer::next() {
    if (tooLong_) {
        return std::nullopt;
    }
    const std::size_t newline = received_.find('\n', start_);
    if (newline == std::string::npos) {
        return std::nullopt;
    }
    if (newline - start_ > limit_) {
        tooLong_ = true;
        return std::nullopt;
    }
    const std::string_view line(received_.data() + start_, newline - start_);
    start_ = newline + 1;
    return line;
}

std::optional<json> decodeControlLine(std::string_view line) {
    auto object = pellimar::json::parseText(line);
    if (!object || !object->is_object()) {
        return std::nullopt;
    }
    return std::move(*object);
}

AnnouncementCommand decodeAnnouncementCommand(const json& object) {
    return {optionalString(object, "id").value_or(""), optionalString(object, "command"),
            optionalString(object, "filePath"), optionalString(object, "clip"),
            optionalString(object, "target")};
}

json encodeAnnouncementEvent(const AnnouncementEvent& event) {
    switch (event.kind) {
        case AnnouncementEvent::Kind::loaded:
            return {{"event", "loaded"}, {"id", event.id}, {"frames", event.frames}};
        case AnnouncementEvent::Kind::playing:
            return {{"event", "playing"}, {"id", event.id}};
        case AnnouncementEvent::Kind::completed:
            return {{"event", "completed"}, {"id", event.id}, {"stopped", event.stopped}};
        case AnnouncementEvent::Kind::error:
            break;
    }
    return {{"event", "error"}, {"id", event.id}, {"error", event.error}};
}

}  // namespace pellimar::announcement
