#pragma once
// The simulated audio system: every process that opens it shares one world file.
//
// Thread safety: calls may come from any thread. Listeners are delivered on the io_context they
// were added with, on the thread running it. Destroy the audio system on that thread or while the
// context is not running; the context may be destroyed before or after it.

#include <memory>
#include <string>

#include "platform/audio_system/audio_system.hpp"
#include "platform/audio_system/overrides.hpp"

namespace pellimar::audio::sim {

class SimAudioSystem final : public AudioSystem {
  public:
    // Opens the world at path, creating the default machine when the file is missing.
    static Result<std::unique_ptr<SimAudioSystem>, std::string> open(const std::string& path);
    ~SimAudioSystem() override;
    SimAudioSystem(const SimAudioSystem&) = delete;
    SimAudioSystem& operator=(const SimAudioSystem&) = delete;

    PELLIMAR_AUDIO_SYSTEM_OVERRIDES;

    struct Core;

  private:
    explicit SimAudioSystem(std::shared_ptr<Core> core);
    std::shared_ptr<Core> core_;
};

}  // namespace pellimar::audio::sim
