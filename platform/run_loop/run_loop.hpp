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

    // The run calls below drive the loop from the outside. Asio forbids running a context from
    // inside one of its own handlers, so calling them there is a programming error: it is
    // reported on standard error and aborts. Code that must wait inside a handler uses
    // pollUntil instead.

    // Runs until stop(), or until no timer, source or posted work is left.
    void run();
    // Runs handlers for about the given time, then returns (like "run the loop for 0.01 s").
    void runFor(Duration duration);
    // Runs whatever is ready now, without waiting.
    void poll();
    // Runs handlers until `finished` holds (checked before each one), stop() or no work is left.
    void runUntil(const std::function<bool()>& finished);
    void stop();
    // Whether the calling thread is inside one of this loop's handlers.
    bool insideHandler();

    // A wait that leaves the loop running: `attempt` runs at once and then every `interval`
    // until it returns true or `timeout` has passed since the start (one attempt at least);
    // then `done(true or false)` runs on the loop, never from inside this call. Everything else
    // on the loop keeps being handled meanwhile, so it may be started from inside a handler.
    // Destroying the returned handle cancels the wait without calling `done`.
    std::unique_ptr<Timer> pollUntil(Duration interval, Duration timeout,
                                     std::function<bool()> attempt, std::function<void(bool)> done);

    // Main-queue dispatch; safe to call from any thread.
    void post(std::function<void()> work);

    std::unique_ptr<Timer> scheduleRepeating(Duration interval, std::function<void()> fire);
    std::unique_ptr<Timer> scheduleOnce(Duration delay, std::function<void()> fire);
    std::unique_ptr<ReadSource> watchReadable(int fd, std::function<void()> readable);
    std::unique_ptr<SignalSource> watchSignals(std::initializer_list<int> signals,
                                               std::function<void(int)> handler);

  private:
    void requireOutsideHandler(const char* call);

    asio::io_context context_;
};

}  // namespace pellimar
