#pragma once
// What the controller sends the persistent service: a byte stream of newline-delimited JSON
// objects, each one command; and the events the service answers with. Cutting the stream into
// lines, reading a command's fields and writing an event are kept apart from the socket and the
// audio, so that both can be tested on plain bytes and the audio engine sees plain records.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace pellimar::announcement {

inline constexpr std::size_t kReceiveLimit = 65536;

// The received bytes, cut into lines. No line, whether complete or still waiting for its line
// feed, may be longer than the limit: so whether a stream is accepted does not depend on how its
// writes were split.
class ControlLineBuffer {
  public:
    explicit ControlLineBuffer(std::size_t limit = kReceiveLimit) : limit_(limit) {}

    void append(std::string_view bytes);
    // The next complete line without its line feed; none while the rest has no line feed, or
    // once a line longer than the limit has been met.
    std::optional<std::string_view> next();
    // A line longer than the limit was met, or the one waiting for its line feed already is
    // (asked once `next` has returned none).
    bool tooLong() const { return tooLong_ || received_.size() - start_ > limit_; }

  private:
    std::size_t limit_;
    std::string received_;
    std::size_t start_ = 0;  // where the first line not yet taken begins
    bool tooLong_ = false;
};

// The line as a JSON object; none for anything else (not JSON, an array, an empty line).
std::optional<nlohmann::json> decodeControlLine(std::string_view line);

// A command object's fields; one of the wrong type counts as absent.
struct AnnouncementCommand {
    std::string id;  // empty when absent
    std::optional<std::string> name;
    std::optional<std::string> filePath;
    std::optional<std::string> clip;
    std::optional<std::string> target;

    bool operator==(const AnnouncementCommand&) const = default;
};

AnnouncementCommand decodeAnnouncementCommand(const nlohmann::json& object);

// One answer of the audio engine; only the fields of its kind are sent.
struct AnnouncementEvent {
    enum class Kind { loaded, playing, completed, error };

    Kind kind = Kind::error;
    std::string id;
    std::size_t frames = 0;  // loaded
    bool stopped = false;    // completed
    std::string error;       // error

    bool operator==(const AnnouncementEvent&) const = default;
};

nlohmann::json encodeAnnouncementEvent(const AnnouncementEvent& event);

}  // namespace pellimar::announcement
