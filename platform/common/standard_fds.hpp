#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace pellimar {

// A program started with descriptor 0, 1 or 2 closed would hand that number to the first pipe or
// file it opens, and its messages or a decoder's PCM would then go to the wrong place. Call first
// thing in main: every closed standard descriptor is opened on /dev/null. Returns false only when
// /dev/null itself cannot be opened.
inline bool ensureStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0) {
            return false;
        }
        // open returns the lowest free number, which is fd itself while the lower ones are open.
        if (opened != fd) {
            if (dup2(opened, fd) < 0) {
                close(opened);
                return false;
            }
            close(opened);
        }
    }
    return true;
}

}  // namespace pellimar
