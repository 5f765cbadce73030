#include "platform/audio_system/loop_lifetime.hpp"

namespace pellimar::audio {

asio::execution_context::id LoopLifetime::id;

void LoopLifetime::add(const void* owner, std::function<void()> onShutdown) {
    std::lock_guard<std::mutex> guard(mutex_);
    hooks_[owner] = std::move(onShutdown);
}

void LoopLifetime::remove(const void* owner) {
    std::lock_guard<std::mutex> guard(mutex_);
    hooks_.erase(owner);
}

void LoopLifetime::shutdown() {
    std::map<const void*, std::function<void()>> hooks;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        hooks.swap(hooks_);
    }
    for (auto& [owner, hook] : hooks) {
        hook();
    }
}

}  // namespace pellimar::audio
