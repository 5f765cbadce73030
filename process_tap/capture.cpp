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

const LogWriter& programLog() {
    static const LogWriter writer = LogWriter::fromEnvironment("[process-tap] ");
    return writer;
}

}  // namespace pellimar::process_tap
