#pragma once

#include <string>

#include "platform/common/log.hpp"
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

// "<what> (<status>)." with the status in signed decimal.
inline std::string withStatus(const std::string& what, long long status) {
    return what + " (" + std::to_string(status) + ").";
}

// The program's log lines, tagged "[announcement-player] ", set up from the environment on first
// use.
const LogWriter& programLog();

}  // namespace pellimar::announcement
