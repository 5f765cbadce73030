#include "player/log.hpp"

namespace pellimar::player {

const LogWriter& programLog() {
    static const LogWriter writer = LogWriter::fromEnvironment("[pellimar-player] ");
    return writer;
}

}  // namespace pellimar::player
