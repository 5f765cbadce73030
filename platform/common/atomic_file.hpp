#pragma once
// Atomic file replacement, for files that other programs read while they are rewritten.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/common/write_all.hpp"

namespace pellimar {

// Replaces the file at `path` with `contents` so that a reader sees either the old or the new
// file, never a partial one. A symlink or file already at the path is replaced, never written
// through. Returns false when anything failed; the old file is then left as it was.
inline bool replaceFileAtomically(const std::string& path, const std::string& contents) {
    const auto slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        return false;
    }
    // The temporary lives beside the target so that rename stays within one file system.
    std::string pattern =
        (slash == std::string::npos ? std::string() : dir) + "." + name + ".XXXXXX";
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = ::fchmod(fd, 0644) == 0;
    ok = ok && writeAll(fd, contents) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && std::rename(temp.data(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.data());
    }
    return ok;
}

}  // namespace pellimar
