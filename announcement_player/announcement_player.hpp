#pragma once
// The program's entry: "--service-socket PATH" runs the persistent service, "--file /PATH" plays
// one file with optional fades and exits. Every failure becomes one line on standard error and
// exit status 1.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pellimar::announcement {

inline constexpr const char* kUsage =
    "Usage: pellimar-announcement-player --file <absolute.wav> [--source-slot N]";
// Names another file for the one-shot mode's first-buffer line (default
// /tmp/pellimar-player-stereo.log).
inline constexpr const char* kBufferLogVariable = "PELLIMAR_ANNOUNCEMENT_BUFFER_LOG";

// The argument after the first occurrence of `name`, unchanged; none when absent or last.
std::optional<std::string> argument(const std::string& name,
                                    const std::vector<std::string>& arguments);
// The option's value as whole milliseconds: 0 when absent, without a value, unparsable or
// negative.
std::int64_t milliseconds(const std::string& name, const std::vector<std::string>& arguments);

// Runs the program on the arguments after its name; returns the exit status.
int runAnnouncementPlayer(const std::vector<std::string>& arguments);

}  // namespace pellimar::announcement
