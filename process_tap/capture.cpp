#include "process_tap/capture.hpp"

#include <unistd.h>

#include <cerrno>

namespace pellimar::process_tap {

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

void logLine(std::string_view text) {
    std::string line = "[process-tap] ";
    line.append(text);
    line.push_back('\n');
    writeAll(STDERR_FILENO, line);
}

}  // namespace pellimar::process_tap
