#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace pellimar {

// Writes every byte to `fd`, resuming after short writes and interruptions. Returns 0 when all
// was written, otherwise the errno of the write that failed.
inline int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        // A write of a non-empty buffer that takes nothing would never finish.
        if (n == 0) {
            return EIO;
        }
        bytes.remove_prefix(std::size_t(n));
    }
    return 0;
}

}  // namespace pellimar
