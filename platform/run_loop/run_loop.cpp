#include "platform/run_loop/run_loop.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

namespace pellimar {
namespace {

class SteadyTimer final : public Timer {
  public:
    SteadyTimer(asio::io_context& context, RunLoop::Duration interval, bool repeating,
                std::function<void()> fire)
        : timer_(context), interval_(interval), repeating_(repeating), fire_(std::move(fire)) {}

    void arm() {
        timer_.expires_after(interval_);
        timer_.async_wait([this, alive = alive_](const std::error_code& ec) {
            if (ec || !*alive) {
                return;
            }
            if (repeating_) {
                arm();
            }
            fire_();
        });
    }
    void cancel() override {
        *alive_ = false;
        timer_.cancel();
    }
    ~SteadyTimer() override { cancel(); }

  private:
    asio::steady_timer timer_;
    RunLoop::Duration interval_;
    bool repeating_;
    std::function<void()> fire_;
    // The completion handler can outlive the timer object when cancelled mid-dispatch.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class DescriptorSource final : public ReadSource {
  public:
    DescriptorSource(asio::io_context& context, int fd, std::function<void()> readable)
        : descriptor_(context, ::dup(fd)), readable_(std::move(readable)) {}
    ~DescriptorSource() override { cancel(); }

    void arm() {
        descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                               [this, alive = alive_](const std::error_code& ec) {
                                   if (ec || !*alive) {
                                       return;
                                   }
                                   readable_();
                                   if (*alive) {
                                       arm();
                                   }
                               });
    }
    void cancel() override {
        if (!*alive_) {
            return;
        }
        *alive_ = false;
        std::error_code ignored;
        descriptor_.cancel(ignored);
        descriptor_.close(ignored);
    }

  private:
    asio::posix::stream_descriptor descriptor_;
    std::function<void()> readable_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class AsioSignalSource final : public SignalSource {
  public:
    AsioSignalSource(asio::io_context& context, std::initializer_list<int> signals,
                     std::function<void(int)> handler)
        : set_(context), handler_(std::move(handler)) {
        for (int s : signals) {
            set_.add(s);
        }
    }
    ~AsioSignalSource() override {
        *alive_ = false;
        std::error_code ignored;
        set_.cancel(ignored);
    }
    void arm() {
        set_.async_wait([this, alive = alive_](const std::error_code& ec, int signal) {
            if (ec || !*alive) {
                return;
            }
            handler_(signal);
            if (*alive) {
                arm();
            }
        });
    }

  private:
    asio::signal_set set_;
    std::function<void(int)> handler_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class PollingWait final : public Timer {
  public:
    PollingWait(asio::io_context& context, RunLoop::Duration interval, RunLoop::Duration timeout,
                std::function<bool()> attempt, std::function<void(bool)> done)
        : timer_(context),
          interval_(interval),
          deadline_(std::chrono::steady_clock::now() + timeout),
          attempt_(std::move(attempt)),
          done_(std::move(done)) {}
    ~PollingWait() override { cancel(); }

    // The first attempt is posted too, so `done` never runs inside pollUntil's caller.
    void arm(RunLoop::Duration delay) {
        timer_.expires_after(delay);
        timer_.async_wait([this, alive = alive_](const std::error_code& ec) {
            if (ec || !*alive) {
                return;
            }
            if (attempt_()) {
                finish(true);
            } else if (!*alive) {
                return;  // the attempt cancelled the wait
            } else if (std::chrono::steady_clock::now() >= deadline_) {
                finish(false);
            } else {
                arm(interval_);
            }
        });
    }
    void cancel() override {
        *alive_ = false;
        timer_.cancel();
    }

  private:
    void finish(bool succeeded) {
        *alive_ = false;
        // `done` may destroy this wait; keep what it needs on the stack.
        auto done = std::move(done_);
        done(succeeded);
    }

    asio::steady_timer timer_;
    RunLoop::Duration interval_;
    std::chrono::steady_clock::time_point deadline_;
    std::function<bool()> attempt_;
    std::function<void(bool)> done_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace

RunLoop::RunLoop() = default;
RunLoop::~RunLoop() = default;

bool RunLoop::insideHandler() {
    return context_.get_executor().running_in_this_thread();
}

void RunLoop::requireOutsideHandler(const char* call) {
    if (insideHandler()) {
        std::fprintf(stderr, "RunLoop::%s called from inside a handler of the same loop\n", call);
        std::abort();
    }
}

void RunLoop::run() {
    requireOutsideHandler("run");
    if (context_.stopped()) {
        context_.restart();
    }
    context_.run();
}

void RunLoop::runFor(Duration duration) {
    requireOutsideHandler("runFor");
    auto guard = asio::make_work_guard(context_);
    if (context_.stopped()) {
        context_.restart();
    }
    context_.run_for(duration);
}

void RunLoop::poll() {
    requireOutsideHandler("poll");
    if (context_.stopped()) {
        context_.restart();
    }
    context_.poll();
}

void RunLoop::runUntil(const std::function<bool()>& finished) {
    requireOutsideHandler("runUntil");
    if (context_.stopped()) {
        context_.restart();
    }
    while (!finished()) {
        if (context_.run_one() == 0) {
            return;
        }
    }
}

void RunLoop::stop() {
    context_.stop();
}

void RunLoop::post(std::function<void()> work) {
    asio::post(context_, std::move(work));
}

std::unique_ptr<Timer> RunLoop::scheduleRepeating(Duration interval, std::function<void()> fire) {
    auto timer = std::make_unique<SteadyTimer>(context_, interval, true, std::move(fire));
    timer->arm();
    return timer;
}

std::unique_ptr<Timer> RunLoop::scheduleOnce(Duration delay, std::function<void()> fire) {
    auto timer = std::make_unique<SteadyTimer>(context_, delay, false, std::move(fire));
    timer->arm();
    return timer;
}

std::unique_ptr<Timer> RunLoop::pollUntil(Duration interval, Duration timeout,
                                          std::function<bool()> attempt,
                                          std::function<void(bool)> done) {
    auto wait = std::make_unique<PollingWait>(context_, interval, timeout, std::move(attempt),
                                              std::move(done));
    wait->arm(Duration::zero());
    return wait;
}

std::unique_ptr<ReadSource> RunLoop::watchReadable(int fd, std::function<void()> readable) {
    auto source = std::make_unique<DescriptorSource>(context_, fd, std::move(readable));
    source->arm();
    return source;
}

std::unique_ptr<SignalSource> RunLoop::watchSignals(std::initializer_list<int> signals,
                                                    std::function<void(int)> handler) {
    auto source = std::make_unique<AsioSignalSource>(context_, signals, std::move(handler));
    source->arm();
    return source;
}

}  // namespace pellimar
