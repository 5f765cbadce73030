#include "announcement_player/player_error.hpp"
#include "platform/common/stderr_line.hpp"

namespace pellimar::announcement {

void logLine(const std::string& text) {
    writeStderrLine("[announcement-player] " + text + "\n");
}

}  // namespace pellimar::announcement
