#pragma once

#include <string>

#include "platform/audio_queue/audio_queue.hpp"
#include "platform/common/result.hpp"

namespace pellimar::announcement {

// `usage`: the command line cannot choose a mode. `playback`: everything else, including
// platform failures, whose text travels unchanged.
struct PlayerError {
    enum class Kind { usage, playback };
    Kind kind = Kind::playback;
    std::string message;

    static PlayerError usage(std::string message) { return {Kind::usage, std::move(message)}; }
    static PlayerError playback(std::string message) {
        return {Kind::playback, std::move(message)};
    }
    const std::string& description() const { return message; }
};

template <typename T>
using PlayerResult = Result<T, PlayerError>;

inline constexpr const char* kBundleID = "org.pellimar.announcement-player";
// How mixers show the player's stream. A role of its own keeps the session manager's saved
// targets and the desktop's notification volume from reaching it (and other streams).
inline const audio::OutputQueueOptions::Labels kStreamLabels = {
    "Pellimar announcements", "Announcements", "Announcement", "audio-speakers"};

// "<what> (<status>)." with the status in signed decimal.
inline std::string withStatus(const std::string& what, long long status) {
    return what + " (" + std::to_string(status) + ").";
}

// One line on standard error, in one write, with the program's tag.
void logLine(const std::string& text);

}  // namespace pellimar::announcement
