#include "player/log.hpp"

#include <unistd.h>

#include <cerrno>

namespace pellimar::player {

void logLine(const std::string& text) {
    const std::string line = "[pellimar-player] " + text + "\n";
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

}  // namespace pellimar::player
