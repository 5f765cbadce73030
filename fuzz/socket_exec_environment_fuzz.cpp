// socket-exec's view of its environment: the activation variables and the environment handed
// on. The input is NUL-separated: LISTEN_PID, LISTEN_FDS, LISTEN_FDNAMES, then entries.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "socket_exec/socket_exec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pellimar::socket_exec;
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            fields.emplace_back();
        } else {
            fields.back() += char(data[i]);
        }
    }
    auto field = [&](std::size_t i) -> std::optional<std::string> {
        // An empty field stands for an unset variable.
        return i < fields.size() && !fields[i].empty() ? std::optional(fields[i]) : std::nullopt;
    };
    ListenVariables listen{field(0), field(1), field(2)};
    for (Mode mode : {Mode::full, Mode::dnsOnly}) {
        for (auto name : socketNames(mode)) {
            // Both the process the variables name and another one.
            const long named = listen.pid ? std::strtol(listen.pid->c_str(), nullptr, 10) : 0;
            (void)activateSocket(name, listen, pid_t(named));
            (void)activateSocket(name, listen, ::getpid());
        }
        std::vector<std::string> environment(
            fields.begin() + std::min<std::size_t>(3, fields.size()), fields.end());
        (void)preparedEnvironment(environment, mode);
    }
    return 0;
}
