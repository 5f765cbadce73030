#pragma once
// The main run loop: one asio::io_context driven by the main thread. Everything scheduled here
// runs on that thread, so callbacks never overlap.

#include <chrono>
#include <csignal>
#include <functional>
#include <initializer_list>
#include <memory>

#include <asio/io_context.hpp>

namespace pellimar {

class RunLoop;

// A scheduled timer; destroying it cancels it.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void cancel() = 0;
};

// Calls back when a descriptor becomes readable, each time, until destroyed.
class ReadSource {
  public:
    virtual ~ReadSource() = default;
    virtual void cancel() = 0;
};

// Catches signals on the run loop instead of in a signal handler, until destroyed.
class SignalSource {
  public:
    virtual ~SignalSource() = default;
};

class RunLoop {
  public:
    using Duration = std::chrono::steady_clock::duration;

    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    asio::io_context& context() { return context_; }

    // Runs until stop(), or until no timer, source or posted work is left.
    void run();
    // Runs handlers for about the given time, then returns (like "run the loop for 0.01 s").
    void runFor(Duration duration);
    // Runs whatever is ready now, without waiting.
    void poll();
    void stop();

    // Main-queue dispatch; safe to call from any thread.
    void post(std::function<void()> work);

    std::unique_ptr<Timer> scheduleRepeating(Duration interval, std::function<void()> fire);
    std::unique_ptr<Timer> scheduleOnce(Duration delay, std::function<void()> fire);
    std::unique_ptr<ReadSource> watchReadable(int fd, std::function<void()> readable);
    std::unique_ptr<SignalSource> watchSignals(std::initializer_list<int> signals,
                                               std::function<void(int)> handler);

  private:
    asio::io_context context_;
};

}  // namespace pellimar
