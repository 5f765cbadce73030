#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/sim/world.hpp"

namespace pellimar::audio::sim {

namespace {

Result<void, std::string> ensurePrivateDirectory(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail("Simulated audio system: cannot create directory " + dir + ": " +
                    std::strerror(errno));
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        return fail("Simulated audio system: cannot inspect directory " + dir + ": " +
                    std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return fail("Simulated audio system: " + dir + " is not a directory");
    }
    if (st.st_uid != ::geteuid()) {
        return fail("Simulated audio system: directory " + dir + " is owned by uid " +
                    std::to_string(st.st_uid) + ", not by this user (uid " +
                    std::to_string(::geteuid()) + "); refusing to use it");
    }
    if ((st.st_mode & 0077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
        return fail("Simulated audio system: cannot make directory " + dir +
                    " private: " + std::strerror(errno));
    }
    return {};
}

}  // namespace

Result<std::string, std::string> worldPath() {
    if (const char* path = std::getenv("PELLIMAR_AUDIO_SYSTEM"); path && *path) {
        return std::string(path);
    }
    std::string dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        dir = std::string(runtime) + "/pellimar";
    } else {
        dir = "/tmp/pellimar-" + std::to_string(::geteuid());
    }
    if (auto r = ensurePrivateDirectory(dir); !r) {
        return fail(r.error());
    }
    return dir + "/audio-system.json";
}

}  // namespace pellimar::audio::sim
