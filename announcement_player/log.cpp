#include <unistd.h>

#include <cerrno>

#include "announcement_player/player_error.hpp"

namespace pellimar::announcement {

void logLine(const std::string& text) {
    const std::string line = "[announcement-player] " + text + "\n";
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

}  // namespace pellimar::announcement
