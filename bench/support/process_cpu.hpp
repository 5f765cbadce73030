#pragma once
// The CPU time a process has used so far, for benchmarks that measure a program they started.

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace pellimar::bench {

// User plus system seconds of a process, from /proc/PID/stat; 0 once it is gone.
inline double cpuSecondsOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');  // the command name may hold spaces and parentheses
    if (close == std::string::npos || close + 2 > text.size()) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

}  // namespace pellimar::bench
