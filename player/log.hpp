#pragma once

#include "platform/common/log.hpp"

namespace pellimar::player {

// The program's log lines, tagged "[pellimar-player] ", set up from the environment on first use.
const LogWriter& programLog();

}  // namespace pellimar::player
