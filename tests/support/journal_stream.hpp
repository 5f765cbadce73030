#pragma once
// Makes a file the programs take for the journal: JOURNAL_STREAM names the device and inode of
// the stream the service manager handed over, and a test hands over this file instead.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace pellimar::testing {

// JOURNAL_STREAM's value, "DEVICE:INODE", for `path`, created empty when missing; a later
// O_TRUNC open keeps the inode.
inline std::string journalStreamFor(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    struct stat info {};
    const bool ok = fd >= 0 && ::fstat(fd, &info) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok ? std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) : std::string();
}

}  // namespace pellimar::testing
