#pragma once
// Places activated listening sockets on descriptors 3, 4 (and 5) and executes the runtime.

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/result.hpp"

namespace pellimar::socket_exec {

enum class Mode { full, dnsOnly };

// The program to execute, its path first, and the sockets it is owed.
struct Invocation {
    Mode mode = Mode::full;
    std::vector<std::string> programArguments;
};

enum class LaunchFailure {
    nonRootRequired,         // too few arguments, or started as root
    missingProgramArgument,  // "--dns-only" and a program path, nothing more
    activationFailed,
    placementFailed,
    execFailed,
};

struct LaunchError {
    LaunchFailure failure = LaunchFailure::placementFailed;
    int systemError = 0;  // errno of the failed call, where there was one
};

inline constexpr int kFirstPlacedDescriptor = 3;
// Staging copies live above every target so no placement can overwrite a socket still to move.
inline constexpr int kStagingFloor = 20;

// `arguments` excludes the launcher's own name.
Result<Invocation, LaunchError> parseInvocation(std::span<const std::string> arguments,
                                                uid_t realUser);

// The sockets of a mode, in descriptor order.
std::span<const std::string_view> socketNames(Mode mode);

// The socket-activation protocol's variables, as found in the environment.
struct ListenVariables {
    std::optional<std::string> pid;
    std::optional<std::string> fds;
    std::optional<std::string> fdNames;
};

ListenVariables listenVariablesFromEnvironment();

enum class ActivationError {
    notActivated,  // no activation for this process
    malformed,     // variables present but unusable
};

// Every descriptor handed to `self` under `name`; the caller decides how many it accepts.
Result<std::vector<int>, ActivationError> activateSocket(std::string_view name,
                                                         const ListenVariables& listen, pid_t self);

// Owns one descriptor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    int release();
    void reset();

  private:
    int fd_ = -1;
};

// A close-on-exec copy of `fd` on the lowest free descriptor from kStagingFloor up; errno on
// failure.
Result<UniqueFd, int> stageDescriptor(int fd);

// Moves staged[i] onto kFirstPlacedDescriptor + i without close-on-exec, closing each copy.
Result<void, int> placeDescriptors(std::vector<UniqueFd> staged);

// The environment the runtime starts with: script-runtime and activation variables gone,
// the mode's marker set to "1".
std::vector<std::string> preparedEnvironment(std::span<const std::string> environment, Mode mode);

// Everything from the command line to the exec; returns only when something failed.
LaunchError launch(std::span<const std::string> arguments, uid_t realUser, pid_t self,
                   const ListenVariables& listen, std::span<const std::string> environment);

}  // namespace pellimar::socket_exec
