#pragma once
// Before anything is played, the capture program's slot tap must include this process. The wait
// polls the audio system every 10 ms for up to 2 s while the run loop keeps serving everything
// else, and remembers the tap it found.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>

#include "announcement_player/player_error.hpp"
#include "platform/audio_system/audio_system.hpp"
#include "platform/run_loop/run_loop.hpp"

namespace pellimar::announcement {

inline constexpr const char* kTapTimedOut = "Announcement capture did not attach within 2 seconds.";
inline constexpr const char* kSlotTapPrefix = "Pellimar application slot ";

struct AnnouncementTapBinding {
    audio::ObjectID process = 0;
    audio::ObjectID tap = 0;
    friend bool operator==(const AnnouncementTapBinding&, const AnnouncementTapBinding&) = default;
};

class AnnouncementTapWait {
  public:
    using Done = std::function<void(PlayerResult<void>)>;

    AnnouncementTapWait(audio::AudioSystem& system, RunLoop& loop, pid_t pid);

    // Whether `tap` is a slot tap that lists `process`, and `process` is this program.
    bool isAttached(audio::ObjectID process, audio::ObjectID tap);

    // Calls `done` on the loop once a slot tap includes this process (at once while the
    // remembered one still does), or with the time-out error after 2 s. May be started from
    // inside a handler of the loop. Destroying the handle abandons the wait.
    [[nodiscard]] std::unique_ptr<Timer> wait(Done done);
    // The same from outside the loop's handlers: runs the loop until the wait has ended.
    PlayerResult<void> waitBlocking();

    const std::optional<AnnouncementTapBinding>& binding() const { return binding_; }
    void resetBinding() { binding_.reset(); }

  private:
    bool attempt();

    audio::AudioSystem& system_;
    RunLoop& loop_;
    pid_t pid_;
    std::optional<AnnouncementTapBinding> binding_;
};

}  // namespace pellimar::announcement
