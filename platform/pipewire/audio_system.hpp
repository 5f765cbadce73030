#pragma once
// The audio object system on a PipeWire daemon: reads answer from the graph cache, listeners
// fire on the caller's run loop when a cached value changes. Taps and aggregate devices are nodes
// of the graph (objects.hpp).

#include <memory>
#include <string>

#include "platform/audio_system/audio_system.hpp"
#include "platform/audio_system/overrides.hpp"
#include "platform/pipewire/graph.hpp"

namespace pellimar::audio::pipewire {

// Stream objects have no PipeWire object of their own: a node's stream ID is derived from the
// node's serial.
constexpr ObjectID kOutputStreamFlag = 0x80000000u;
constexpr ObjectID kInputStreamFlag = 0x40000000u;

class ServerObjects;

class PipeWireAudioSystem final : public AudioSystem {
  public:
    static Result<std::unique_ptr<PipeWireAudioSystem>, std::string> open();
    ~PipeWireAudioSystem() override;
    PipeWireAudioSystem(const PipeWireAudioSystem&) = delete;
    PipeWireAudioSystem& operator=(const PipeWireAudioSystem&) = delete;

    PELLIMAR_AUDIO_SYSTEM_OVERRIDES;

    const std::shared_ptr<Graph>& graph() const { return graph_; }

    struct Listeners;

  private:
    explicit PipeWireAudioSystem(std::shared_ptr<Graph> graph);
    std::shared_ptr<Graph> graph_;
    std::shared_ptr<Listeners> listeners_;
    std::uint64_t hook_ = 0;
    std::unique_ptr<ServerObjects> objects_;
};

}  // namespace pellimar::audio::pipewire
