#pragma once

#include <unistd.h>

#include <string>

#include "platform/common/write_all.hpp"

namespace pellimar {

// Writes one whole line to standard error in as few writes as the system allows (one, normally),
// so that lines of concurrent writers do not interleave. Failures are dropped: there is nowhere
// left to report them.
inline void writeStderrLine(const std::string& line) {
    writeAll(STDERR_FILENO, line);
}

}  // namespace pellimar
