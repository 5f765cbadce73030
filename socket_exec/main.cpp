// socket-exec: started by the service manager with listening sockets; becomes the runtime.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/standard_fds.hpp"
#include "platform/common/write_all.hpp"
#include "socket_exec/socket_exec.hpp"

extern char** environ;

namespace {

void writeError(std::string_view text) {
    pellimar::writeAll(STDERR_FILENO, text);
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything opens a descriptor: a socket staged or placed must never take 0 to 2.
    pellimar::ensureStandardDescriptors();
    using namespace pellimar::socket_exec;
    // The launcher's own name is not an argument; a missing argv[0] leaves none at all.
    const std::vector<std::string> arguments(argc > 0 ? argv + 1 : argv,
                                             argc > 0 ? argv + argc : argv);
    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }

    const LaunchError error =
        launch(arguments, ::getuid(), ::getpid(), listenVariablesFromEnvironment(), environment);
    switch (error.failure) {
        case LaunchFailure::nonRootRequired:
            writeError("non-root runtime required\n");
            break;
        case LaunchFailure::activationFailed:
            writeError("socket activation failed\n");
            break;
        case LaunchFailure::execFailed:
            errno = error.systemError;
            std::perror("execv");
            break;
        case LaunchFailure::missingProgramArgument:
        case LaunchFailure::placementFailed:
            break;
    }
    return 1;
}
