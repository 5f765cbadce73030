#pragma once
// A program whose own thread refills audio a few milliseconds ahead of the speakers runs dry
// under a machine's ordinary load at the default priority. PipeWire runs its own threads that
// are not realtime at nice -11; such a program raises its refilling thread to the same where it
// may.

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace pellimar {

inline constexpr int kAudioThreadNice = -11;

// Raises the calling thread, and the threads it starts afterwards, to `nice` unless it already
// runs at that priority or higher. 0 when done or not needed, else the errno of the refusal
// (EACCES for a user without a nice allowance).
inline int raiseThreadPriority(int nice) {
    const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, thread);
    if (errno == 0 && current <= nice) {
        return 0;
    }
    return ::setpriority(PRIO_PROCESS, thread, nice) == 0 ? 0 : errno;
}

}  // namespace pellimar
