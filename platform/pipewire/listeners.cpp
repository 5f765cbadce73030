#include "platform/pipewire/listeners.hpp"

#include "platform/audio_system/loop_lifetime.hpp"
#include "platform/pipewire/objects.hpp"

namespace pellimar::audio::pipewire {

Status PipeWireAudioSystem::addPropertyListener(ObjectID object,
                                                const AudioObjectPropertyAddress& address,
                                                asio::io_context& loop, PropertyListener listener,
                                                ListenerID& outID) {
    outID = 0;
    if (!listener) {
        return kAudio_ParamError;
    }
    std::string print;
    {
        std::lock_guard guard(graph_->mutex());
        Resolved r;
        const Status s = resolve(graph_->state(), object, address, r);
        if (s == kAudioHardwareBadObjectError || s == kAudioHardwareNotRunningError) {
            return s;
        }
        print = fingerprint(graph_->state(), object, address);
    }
    bool firstOnLoop = false;
    bool watching = false;
    {
        std::lock_guard guard(listeners_->mutex);
        firstOnLoop = listeners_->pending.emplace(&loop, false).second;
        Listeners::Entry e;
        e.object = object;
        e.address = address;
        e.loop = &loop;
        e.callback = std::make_shared<PropertyListener>(std::move(listener));
        e.fingerprint = std::move(print);
        outID = listeners_->next++;
        watching = Listeners::watchesProcesses(e);
        listeners_->entries.emplace(outID, std::move(e));
    }
    if (watching) {
        objects_->watchProcesses(true);
    }
    if (firstOnLoop) {
        asio::use_service<LoopLifetime>(static_cast<asio::execution_context&>(loop))
            .add(listeners_.get(), [weak = std::weak_ptr<Listeners>(listeners_), context = &loop] {
                if (auto listeners = weak.lock()) {
                    listeners->forget(context);
                }
            });
    }
    return kAudioHardwareNoError;
}

Status PipeWireAudioSystem::removePropertyListener(ListenerID id) {
    bool watched = false;
    {
        std::lock_guard guard(listeners_->mutex);
        if (listeners_->entries.erase(id) == 0) {
            return kAudio_ParamError;
        }
        for (const auto& [other, e] : listeners_->entries) {
            watched = watched || Listeners::watchesProcesses(e);
        }
    }
    if (!watched) {
        objects_->watchProcesses(false);
    }
    return kAudioHardwareNoError;
}

}  // namespace pellimar::audio::pipewire
