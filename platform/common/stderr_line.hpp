#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>

namespace pellimar {

// Writes one whole line to standard error in as few writes as the system allows (one, normally),
// so that lines of concurrent writers do not interleave. Failures are dropped: there is nowhere
// left to report them.
inline void writeStderrLine(const std::string& line) {
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        written += std::size_t(n);
    }
}

}  // namespace pellimar
