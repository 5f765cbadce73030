#include "player/decoder_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace pellimar::player {

ChildProcess::ChildProcess(std::string path, std::vector<std::string> arguments)
    : path_(std::move(path)), arguments_(std::move(arguments)) {}

ChildProcess::~ChildProcess() {
    stop();
    if (output_ >= 0) {
        ::close(output_);
    }
    if (error_ >= 0) {
        ::close(error_);
    }
}

Result<void, std::string> ChildProcess::launch() {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return fail(std::string("Cannot create a pipe for ffmpeg: ") + std::strerror(errno));
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        const int e = errno;
        ::close(out[0]);
        ::close(out[1]);
        return fail(std::string("Cannot create a pipe for ffmpeg: ") + std::strerror(e));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    // The pipeline blocks its stop signals; the decoder must still die of a terminate request.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t empty;
    sigemptyset(&empty);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.push_back(path_.data());
    for (auto& argument : arguments_) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int result =
        ::posix_spawn(&pid, path_.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    ::close(err[1]);
    if (result != 0) {
        ::close(out[0]);
        ::close(err[0]);
        return fail("The ffmpeg process at " + path_ +
                    " could not be launched: " + std::strerror(result));
    }
    std::lock_guard guard(lock_);
    pid_ = pid;
    output_ = out[0];
    error_ = err[0];
    return {};
}

bool ChildProcess::reapLocked(bool block) {
    if (pid_ < 0 || reaped_) {
        return true;
    }
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status)
                                    : (WIFSIGNALED(status) ? WTERMSIG(status) : status);
        return true;
    }
    if (r < 0) {
        reaped_ = true;  // not our child any more; nothing to wait for
        return true;
    }
    return false;
}

bool ChildProcess::running() {
    std::lock_guard guard(lock_);
    if (pid_ < 0) {
        return false;
    }
    return !reapLocked(false);
}

void ChildProcess::terminate() {
    std::lock_guard guard(lock_);
    if (pid_ >= 0 && !reaped_ && ::kill(pid_, SIGTERM) == 0) {
        terminateSent_ = true;
    }
}

bool ChildProcess::terminateSent() {
    std::lock_guard guard(lock_);
    return terminateSent_;
}

bool ChildProcess::killSent() {
    std::lock_guard guard(lock_);
    return killSent_;
}

bool ChildProcess::endsWithin(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    // A child that already ended on its own is reaped here, so its status stays its own.
    if (running()) {
        terminate();
    }
    if (!endsWithin(grace)) {
        std::lock_guard guard(lock_);
        if (pid_ >= 0 && !reaped_ && ::kill(pid_, SIGKILL) == 0) {
            killSent_ = true;
        }
    }
    return waitForExit();
}

int ChildProcess::waitForExit() {
    pid_t pid;
    {
        std::lock_guard guard(lock_);
        if (pid_ < 0 || reaped_) {
            return status_;
        }
        pid = pid_;
    }
    // Wait without reaping, so that terminate() never signals a recycled process ID.
    siginfo_t info{};
    while (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    std::lock_guard guard(lock_);
    reapLocked(true);
    return status_;
}

SignalWatcher::SignalWatcher(std::initializer_list<int> signals, std::function<void(int)> handler) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : signals) {
        sigaddset(&set, s);
    }
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signalFd_ = ::signalfd(-1, &set, SFD_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this, handler = std::move(handler)] {
        for (;;) {
            pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents) {
                return;
            }
            signalfd_siginfo info{};
            if (::read(signalFd_, &info, sizeof(info)) == ssize_t(sizeof(info))) {
                handler(int(info.ssi_signo));
            }
        }
    });
}

SignalWatcher::~SignalWatcher() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof(one));
    thread_.join();
    ::close(signalFd_);
    ::close(wakeFd_);
}

}  // namespace pellimar::player
