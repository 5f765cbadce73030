#pragma once

#include <string>

#include "platform/audio_queue/audio_queue.hpp"
#include "platform/common/log.hpp"
#include "platform/common/player_error.hpp"

namespace pellimar::announcement {

inline constexpr const char* kBundleID = "org.pellimar.announcement-player";
// How mixers show the player's stream. A role of its own keeps the session manager's saved
// targets and the desktop's notification volume from reaching it (and other streams).
inline const audio::OutputQueueOptions::Labels kStreamLabels = {
    "Pellimar announcements", "Announcements", "Announcement", "audio-speakers"};

// "<what> (<status>)." with the status in signed decimal.
inline std::string withStatus(const std::string& what, long long status) {
    return what + " (" + std::to_string(status) + ").";
}

// The program's log lines, tagged "[announcement-player] ", set up from the environment on first
// use.
const LogWriter& programLog();

}  // namespace pellimar::announcement
