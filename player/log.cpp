#include "player/log.hpp"

#include "platform/common/stderr_line.hpp"

namespace pellimar::player {

void logLine(const std::string& text) {
    writeStderrLine("[pellimar-player] " + text + "\n");
}

}  // namespace pellimar::player
