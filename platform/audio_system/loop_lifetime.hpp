#pragma once
// Tells owners of work on an io_context when the context goes away, so that a loop destroyed
// before the audio system does not leave descriptors or listeners pointing into it.

#include <functional>
#include <map>
#include <mutex>

#include <asio/execution_context.hpp>

namespace pellimar::audio {

class LoopLifetime final : public asio::execution_context::service {
  public:
    static asio::execution_context::id id;
    explicit LoopLifetime(asio::execution_context& context)
        : asio::execution_context::service(context) {}

    // One hook per owner: a second add replaces the first.
    void add(const void* owner, std::function<void()> onShutdown);
    void remove(const void* owner);

  private:
    void shutdown() override;

    std::mutex mutex_;
    std::map<const void*, std::function<void()>> hooks_;
};

}  // namespace pellimar::audio
