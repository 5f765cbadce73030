#include "announcement_player/player_error.hpp"

namespace pellimar::announcement {

const LogWriter& programLog() {
    static const LogWriter writer = LogWriter::fromEnvironment("[announcement-player] ");
    return writer;
}

}  // namespace pellimar::announcement
