#pragma once

#include <string>

#include "platform/common/player_error.hpp"

namespace pellimar::announcement {

inline constexpr const char* kBundleID = "org.pellimar.announcement-player";

// "<what> (<status>)." with the status in signed decimal.
inline std::string withStatus(const std::string& what, long long status) {
    return what + " (" + std::to_string(status) + ").";
}

// One line on standard error, in one write, with the program's tag.
void logLine(const std::string& text);

}  // namespace pellimar::announcement
