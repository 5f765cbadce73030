#include "socket_exec/socket_exec.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <utility>

namespace pellimar::socket_exec {

namespace {

constexpr std::array<std::string_view, 3> kSocketNames = {"dnsUDP", "dnsTCP", "httpsTCP"};

// Variables the runtime must not inherit: the script runtime's own settings, and the
// activation protocol's, which would otherwise describe descriptors that have since moved.
constexpr std::array<std::string_view, 7> kRemovedVariables = {
    "NODE_OPTIONS",   "NODE_PATH",  "NODE_COMPILE_CACHE", "LISTEN_PID",
    "LISTEN_PIDFDID", "LISTEN_FDS", "LISTEN_FDNAMES"};

constexpr std::string_view kDnsMarker = "PELLIMAR_DNS_SOCKET_ACTIVATION";
constexpr std::string_view kFullMarker = "PELLIMAR_TEST_SOCKET_ACTIVATION";

// Plain decimal only: no sign, no blanks, no overflow.
std::optional<long long> parseDecimal(std::string_view text, long long max) {
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    long long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string_view> splitNames(std::string_view text) {
    std::vector<std::string_view> names;
    if (text.empty()) {
        return names;
    }
    for (;;) {
        const auto colon = text.find(':');
        names.push_back(text.substr(0, colon));
        if (colon == std::string_view::npos) {
            return names;
        }
        text.remove_prefix(colon + 1);
    }
}

std::string_view variableName(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}

LaunchError failure(LaunchFailure kind, int systemError = 0) {
    return {kind, systemError};
}

}  // namespace

Result<Invocation, LaunchError> parseInvocation(std::span<const std::string> arguments,
                                                uid_t realUser) {
    if (arguments.size() < 2 || realUser == 0) {
        return fail(failure(LaunchFailure::nonRootRequired));
    }
    const bool dnsOnly = arguments[0] == "--dns-only";
    if (dnsOnly && arguments.size() == 2) {
        return fail(failure(LaunchFailure::missingProgramArgument));
    }
    const auto program = arguments.subspan(dnsOnly ? 1 : 0);
    return Invocation{dnsOnly ? Mode::dnsOnly : Mode::full, {program.begin(), program.end()}};
}

std::span<const std::string_view> socketNames(Mode mode) {
    return std::span(kSocketNames).first(mode == Mode::dnsOnly ? 2 : 3);
}

ListenVariables listenVariablesFromEnvironment() {
    const auto read = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    return {read("LISTEN_PID"), read("LISTEN_FDS"), read("LISTEN_FDNAMES")};
}

Result<std::vector<int>, ActivationError> activateSocket(std::string_view name,
                                                         const ListenVariables& listen,
                                                         pid_t self) {
    if (!listen.pid || !listen.fds) {
        return fail(ActivationError::notActivated);
    }
    const auto pid = parseDecimal(*listen.pid, INT_MAX);
    if (!pid) {
        return fail(ActivationError::malformed);
    }
    if (*pid != self) {
        // Meant for a parent that executed us without clearing it.
        return fail(ActivationError::notActivated);
    }
    const auto count = parseDecimal(*listen.fds, INT_MAX - kFirstPlacedDescriptor);
    if (!count) {
        return fail(ActivationError::malformed);
    }
    std::vector<int> fds;
    if (!listen.fdNames) {
        // Every descriptor is "unknown"; the count alone must not decide how much we allocate.
        if (name == "unknown") {
            for (long long i = 0; i < *count; ++i) {
                fds.push_back(kFirstPlacedDescriptor + static_cast<int>(i));
            }
        }
        return fds;
    }
    const std::vector<std::string_view> names = splitNames(*listen.fdNames);
    if (names.size() != static_cast<std::size_t>(*count)) {
        return fail(ActivationError::malformed);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) {
            fds.push_back(kFirstPlacedDescriptor + static_cast<int>(i));
        }
    }
    return fds;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int UniqueFd::release() {
    return std::exchange(fd_, -1);
}

void UniqueFd::reset() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Result<UniqueFd, int> stageDescriptor(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, kStagingFloor);
    if (copy < 0) {
        return fail(errno);
    }
    return UniqueFd(copy);
}

Result<void, int> placeDescriptors(std::vector<UniqueFd> staged) {
    for (std::size_t i = 0; i < staged.size(); ++i) {
        // dup2 leaves the target without close-on-exec, which is what carries it across exec.
        if (::dup2(staged[i].get(), kFirstPlacedDescriptor + static_cast<int>(i)) < 0) {
            return fail(errno);
        }
        staged[i].reset();
    }
    return {};
}

std::vector<std::string> preparedEnvironment(std::span<const std::string> environment, Mode mode) {
    const std::string_view marker = mode == Mode::dnsOnly ? kDnsMarker : kFullMarker;
    std::vector<std::string> prepared;
    prepared.reserve(environment.size() + 1);
    for (const std::string& entry : environment) {
        const std::string_view name = variableName(entry);
        const bool removed =
            name == marker || std::find(kRemovedVariables.begin(), kRemovedVariables.end(), name) !=
                                  kRemovedVariables.end();
        if (!removed) {
            prepared.push_back(entry);
        }
    }
    prepared.push_back(std::string(marker) + "=1");
    return prepared;
}

LaunchError launch(std::span<const std::string> arguments, uid_t realUser, pid_t self,
                   const ListenVariables& listen, std::span<const std::string> environment) {
    auto invocation = parseInvocation(arguments, realUser);
    if (!invocation) {
        return invocation.error();
    }
    std::vector<UniqueFd> staged;
    for (const std::string_view name : socketNames(invocation->mode)) {
        const auto activated = activateSocket(name, listen, self);
        if (!activated || activated->size() != 1) {
            return failure(LaunchFailure::activationFailed);
        }
        auto copy = stageDescriptor(activated->front());
        if (!copy) {
            return failure(LaunchFailure::placementFailed, copy.error());
        }
        staged.push_back(std::move(copy).value());
    }
    if (const auto placed = placeDescriptors(std::move(staged)); !placed) {
        return failure(LaunchFailure::placementFailed, placed.error());
    }

    std::vector<std::string> env = preparedEnvironment(environment, invocation->mode);
    const auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> result;
        result.reserve(strings.size() + 1);
        for (std::string& s : strings) {
            result.push_back(s.data());
        }
        result.push_back(nullptr);
        return result;
    };
    const std::vector<char*> argv = pointers(invocation->programArguments);
    const std::vector<char*> envp = pointers(env);
    ::execve(argv[0], argv.data(), envp.data());
    return failure(LaunchFailure::execFailed, errno);
}

}  // namespace pellimar::socket_exec
