#pragma once
// Child processes for the tests and benchmarks: started with their own arguments, environment and
// standard descriptors, waited for with a hang guard, killed when a test gives up on them.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace pellimar::testing {

struct ChildOptions {
    std::vector<std::string> argv{};  // argv[0] is the program's path
    // NAME=VALUE entries; this process's own environment when absent.
    std::optional<std::vector<std::string>> environment{};
    // Files for the standard descriptors; an empty name leaves the descriptor inherited. Standard
    // error named like standard output shares its descriptor.
    std::string input{};
    std::string output{};
    std::string error{};
    bool append = false;  // the output files are appended to rather than truncated
    mode_t mode = 0600;
    std::vector<int> closed{};    // standard descriptors the child starts without
    bool searchPath = false;      // argv[0] may be a name looked up in PATH
    bool defaultSignals = false;  // no signal blocked or ignored, whatever this process does
};

// This process's environment with `set` added or replaced, and without the variables whose names
// start with `dropPrefix` (when not empty) unless `set` has them.
inline std::vector<std::string> environmentWith(const std::map<std::string, std::string>& set,
                                                const std::string& dropPrefix = {}) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        const auto eq = entry.find('=');
        if (eq == std::string_view::npos ||
            (!dropPrefix.empty() && entry.starts_with(dropPrefix))) {
            continue;
        }
        merged.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    for (const auto& [name, value] : set) {
        merged[name] = value;
    }
    std::vector<std::string> entries;
    for (const auto& [name, value] : merged) {
        entries.push_back(name + "=" + value);
    }
    return entries;
}

// `set` with NAME=VALUE `entries` added, the entries winning.
inline std::map<std::string, std::string> withEntries(std::map<std::string, std::string> set,
                                                      const std::vector<std::string>& entries) {
    for (const auto& entry : entries) {
        const auto eq = entry.find('=');
        set[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
    }
    return set;
}

// Starts a child; its pid, or -1 when it could not be started.
inline pid_t spawnChild(ChildOptions options) {
    auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> out;
        for (auto& s : strings) {
            out.push_back(s.data());
        }
        out.push_back(nullptr);
        return out;
    };
    const auto argv = pointers(options.argv);
    std::vector<char*> envp;
    if (options.environment) {
        envp = pointers(*options.environment);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!options.input.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, options.input.c_str(), O_RDONLY,
                                         0);
    }
    const int flags = O_WRONLY | O_CREAT | (options.append ? O_APPEND : O_TRUNC);
    if (!options.output.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.output.c_str(), flags,
                                         options.mode);
    }
    if (!options.error.empty() && options.error == options.output) {
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    } else if (!options.error.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.error.c_str(), flags,
                                         options.mode);
    }
    for (int fd : options.closed) {
        posix_spawn_file_actions_addclose(&actions, fd);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (options.defaultSignals) {
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    pid_t pid = -1;
    auto start = options.searchPath ? posix_spawnp : posix_spawn;
    if (start(&pid, argv[0], &actions, &attributes, argv.data(),
              options.environment ? envp.data() : environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

// The child's wait status once it has ended; nothing when it is still running after `limit`
// (a hang guard, not a timing). Without a limit it waits as long as it takes.
inline std::optional<int> waitChild(pid_t pid,
                                    std::optional<std::chrono::milliseconds> limit = {}) {
    int status = 0;
    if (!limit) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return status;
    }
    const auto deadline = std::chrono::steady_clock::now() + *limit;
    while (::waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status;
}

// Sends a signal and reaps the child, killing it if it outlives a generous grace time; its wait
// status. Resets `pid`, so a second call does nothing.
inline int signalAndReap(pid_t& pid, int signal) {
    if (pid <= 0) {
        return -1;
    }
    ::kill(pid, signal);
    auto status = waitChild(pid, std::chrono::seconds(10));
    if (!status) {
        ::kill(pid, SIGKILL);
        status = waitChild(pid);
    }
    pid = -1;
    return *status;
}

// A wait status as a shell shows it: the exit status, or 128 + the signal.
inline int exitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace pellimar::testing
