#pragma once
// The child process of the decoder and the signal watchers of the pipeline: small owners of
// POSIX objects.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/common/result.hpp"

namespace pellimar::player {

// A child with standard input on the null device and standard output and error on two pipes.
// terminate() and running() may be called from any thread; a reaped child is never signalled,
// so a reused process ID is never hit.
class ChildProcess {
  public:
    // How long a child has to end after the terminate request before it is killed.
    static constexpr std::chrono::seconds kTerminateGrace{3};

    ChildProcess(std::string path, std::vector<std::string> arguments);
    ~ChildProcess();  // stops and reaps a child that is still there
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The text says why the launch failed.
    Result<void, std::string> launch();
    bool running();
    void terminate();
    // Whether terminate() reached the child.
    bool terminateSent();
    // Whether the child was killed by stop().
    bool killSent();
    // Blocks until the child has ended; its exit code, or the number of the signal that ended it.
    int waitForExit();
    // Whether the child ends within `limit`.
    bool endsWithin(std::chrono::milliseconds limit);
    // The terminate request, then SIGKILL if the child is still there after `grace`; its status.
    int stop(std::chrono::milliseconds grace = kTerminateGrace);

    int outputFd() const { return output_; }
    int errorFd() const { return error_; }

  private:
    bool reapLocked(bool block);

    std::string path_;
    std::vector<std::string> arguments_;
    std::mutex lock_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    bool terminateSent_ = false;
    bool killSent_ = false;
    int status_ = 0;
    int output_ = -1;
    int error_ = -1;
};

// Delivers the given signals to `handler` on a thread of its own instead of interrupting the
// process. Blocks them in the calling thread, so it must exist before other threads are started
// (they inherit the mask). Children are launched with default dispositions and an empty mask.
class SignalWatcher {
  public:
    SignalWatcher(std::initializer_list<int> signals, std::function<void(int)> handler);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

  private:
    int signalFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};

}  // namespace pellimar::player
