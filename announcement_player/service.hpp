#pragma once
// The persistent service: connects to the controller's Unix socket, says "hello", starts the warm
// output, waits for the capture tap, says "ready", then serves newline-delimited JSON commands
// until the controller closes the connection.

#include <string>

#include "announcement_player/control_protocol.hpp"
#include "announcement_player/player_error.hpp"
#include "announcement_player/tap_wait.hpp"

namespace pellimar::announcement {

inline constexpr const char* kNeedsProcessTaps =
    "Announcement capture requires macOS 14.2 or later.";

// The exit status once the service has ended (0: the controller closed the connection), or the
// start-up error to print.
PlayerResult<int> runPersistentAnnouncementService(const std::string& socketPath,
                                                   audio::AudioSystem& system, RunLoop& loop,
                                                   AnnouncementTapWait& tapWait);

}  // namespace pellimar::announcement
