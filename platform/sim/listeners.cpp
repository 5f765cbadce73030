// Property listeners: one inotify watch of the world file's directory per run loop; a replaced
// file tells the listeners whose property's answer changed.

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include "platform/audio_system/loop_lifetime.hpp"
#include "platform/sim/core.hpp"

namespace pellimar::audio::sim {

namespace {

class InotifyBuffer {
  public:
    // Reads every pending event; true when one concerns the named file.
    bool drain(int fd, const std::string& name) {
        bool relevant = false;
        for (;;) {
            ssize_t n = ::read(fd, buffer_.data(), buffer_.size());
            if (n <= 0) {
                return relevant;
            }
            for (ssize_t at = 0; at < n;) {
                inotify_event event;
                std::memcpy(&event, buffer_.data() + at, sizeof event);
                if (event.len > 0) {
                    const char* eventName = buffer_.data() + at + sizeof(inotify_event);
                    if (name == eventName) {
                        relevant = true;
                    }
                }
                at += ssize_t(sizeof(inotify_event) + event.len);
            }
        }
    }

  private:
    alignas(inotify_event) std::array<char, 8192> buffer_{};
};

}  // namespace

struct Watcher : std::enable_shared_from_this<Watcher> {
    Watcher(asio::io_context& context, int fd, std::weak_ptr<SimAudioSystem::Core> owner,
            std::string fileName)
        : loop(&context),
          descriptor(context, fd),
          core(std::move(owner)),
          name(std::move(fileName)) {}

    void arm() {
        if (!descriptor.is_open()) {
            return;
        }
        descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                              [self = shared_from_this()](const asio::error_code& error) {
                                  if (error || !self->descriptor.is_open()) {
                                      return;
                                  }
                                  bool relevant = self->events.drain(
                                      self->descriptor.native_handle(), self->name);
                                  if (relevant) {
                                      if (auto owner = self->core.lock()) {
                                          owner->deliver(self->loop);
                                      }
                                  }
                                  self->arm();
                              });
    }

    asio::io_context* loop;
    asio::posix::stream_descriptor descriptor;
    std::weak_ptr<SimAudioSystem::Core> core;
    std::string name;
    InotifyBuffer events;
};

void SimAudioSystem::Core::deliver(asio::io_context* loop) {
    std::vector<std::pair<ListenerID, std::shared_ptr<PropertyListener>>> due;
    std::vector<std::pair<ObjectID, AudioObjectPropertyAddress>> what;
    {
        std::lock_guard<std::mutex> guard(mutex);
        callWorld = nullptr;
        // The event may be a hand edit, which moves no stamp.
        store->lookAtFile();
        auto w = world();
        std::uint64_t generation = store->generation();
        for (auto& [id, listener] : listeners) {
            if (listener.loop != loop || (w && listener.checkedGeneration == generation)) {
                continue;
            }
            listener.checkedGeneration = generation;
            auto now = fingerprint(listener.object, listener.address);
            if (now != listener.fingerprint) {
                listener.fingerprint = std::move(now);
                due.emplace_back(id, listener.callback);
                what.emplace_back(listener.object, listener.address);
            }
        }
    }
    for (std::size_t i = 0; i < due.size(); ++i) {
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (!listeners.contains(due[i].first)) {
                continue;  // removed by an earlier callback
            }
        }
        (*due[i].second)(what[i].first, {what[i].second});
    }
}

SimAudioSystem::~SimAudioSystem() {
    std::map<asio::io_context*, std::shared_ptr<Watcher>> watchers;
    {
        auto guard = core_->enter();
        watchers.swap(core_->watchers);
        core_->listeners.clear();
    }
    for (auto& [loop, watcher] : watchers) {
        // Still in the map, so the loop is alive.
        asio::use_service<LoopLifetime>(static_cast<asio::execution_context&>(*loop))
            .remove(core_.get());
        asio::error_code ignored;
        watcher->descriptor.close(ignored);
    }
}

Status SimAudioSystem::addPropertyListener(ObjectID object,
                                           const AudioObjectPropertyAddress& address,
                                           asio::io_context& loop, PropertyListener listener,
                                           ListenerID& outID) {
    auto guard = core_->enter();
    outID = 0;
    if (!listener) {
        return kAudio_ParamError;
    }
    auto w = core_->world();
    if (!w) {
        return w.error();
    }
    if (core_->find(**w, object) == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    if (!core_->watchers.contains(&loop)) {
        int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd < 0) {
            return kAudioHardwareUnspecifiedError;
        }
        const std::string& path = core_->store->path();
        auto slash = path.rfind('/');
        std::string dir =
            slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (::inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO | IN_CREATE | IN_CLOSE_WRITE) < 0) {
            ::close(fd);
            return kAudioHardwareUnspecifiedError;
        }
        auto watcher = std::make_shared<Watcher>(loop, fd, core_, name);
        watcher->arm();
        core_->watchers.emplace(&loop, std::move(watcher));
        std::weak_ptr<Core> owner = core_;
        asio::execution_context* context = &loop;
        asio::use_service<LoopLifetime>(*context).add(core_.get(), [owner, context] {
            auto core = owner.lock();
            if (!core) {
                return;
            }
            std::lock_guard<std::mutex> guard(core->mutex);
            auto loop = static_cast<asio::io_context*>(context);
            if (auto it = core->watchers.find(loop); it != core->watchers.end()) {
                asio::error_code ignored;
                it->second->descriptor.close(ignored);
                core->watchers.erase(it);
            }
            std::erase_if(core->listeners, [&](const auto& l) { return l.second.loop == loop; });
        });
    }
    Listener entry;
    entry.object = object;
    entry.address = address;
    entry.loop = &loop;
    entry.callback = std::make_shared<PropertyListener>(std::move(listener));
    entry.fingerprint = core_->fingerprint(object, address);
    entry.checkedGeneration = core_->store->generation();
    outID = core_->nextListener++;
    core_->listeners.emplace(outID, std::move(entry));
    return kAudioHardwareNoError;
}

Status SimAudioSystem::removePropertyListener(ListenerID id) {
    auto guard = core_->enter();
    return core_->listeners.erase(id) > 0 ? kAudioHardwareNoError : kAudio_ParamError;
}

}  // namespace pellimar::audio::sim
