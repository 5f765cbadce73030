#pragma once
// The decoder pipeline: validates the source, runs ffmpeg into the queue player, polls the gain
// control while it plays, and judges how the decoder ended.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/common/player_error.hpp"
#include "player/native_agc.hpp"
#include "player/stereo_pcm_queue_player.hpp"

namespace pellimar::player {

// The places searched for the decoder after PELLIMAR_FFMPEG, in order.
std::vector<std::string> defaultDecoderCandidates(const Environment& environment);

// The first candidate that is an existing regular file the user may execute; PELLIMAR_FFMPEG
// comes first when set. No search of PATH.
std::optional<std::string> findFFmpeg(const Environment& environment,
                                      const std::vector<std::string>& candidates);
std::optional<std::string> findFFmpeg();

// Why the player ends with an error when its output queue stopped by itself mid-play.
inline constexpr const char* kOutputStopped = "Audio output stopped: the audio server went away.";

// The system's trust store, where the decoder finds the certificate authorities of https servers.
inline constexpr const char* kSystemCertificateAuthorities = "/etc/ssl/certs/ca-certificates.crt";

// The certificate authorities an https server must be vouched for by: the file named by
// PELLIMAR_PLAYER_CA_FILE when set and not empty, else the system's trust store when it is there,
// else nothing (the decoder then uses its own default trust).
std::optional<std::string> certificateAuthorities(const Environment& environment);

// URL sources get certificate verification, against `caFile` when given.
std::vector<std::string> decoderArguments(const std::string& source, bool isURL,
                                          const std::optional<std::string>& caFile);

// What mixers show the player's stream as: "Pellimar stream: HOST" or "Pellimar file: NAME".
std::string mediaName(const std::string& source, bool isURL);

// Nothing when the source is acceptable, otherwise the usage error.
std::optional<PlayerError> validateSource(const std::string& source, bool isURL);

// How a finished decoder run is judged.
struct DecoderEnd {
    bool isURL = false;
    int status = 0;
    std::string errorText;          // already trimmed
    bool incompleteStream = false;  // the whole text named a stream cut short
};
PlayerResult<void> judgeDecoderEnd(const DecoderEnd& end);

PlayerResult<void> playFFmpegSource(const std::string& source, bool isURL);

// The entry point: command line in (program path first), exit status out.
int playerMain(const std::vector<std::string>& arguments);

}  // namespace pellimar::player
