#include "announcement_player/announcement_player.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "announcement_player/player_error.hpp"
#include "announcement_player/service.hpp"
#include "announcement_player/stereo_file_player.hpp"
#include "announcement_player/tap_wait.hpp"
#include "platform/audio_queue/queue_log.hpp"
#include "platform/audio_system/audio_system.hpp"
#include "platform/common/thread_priority.hpp"
#include "platform/run_loop/run_loop.hpp"

namespace pellimar::announcement {

using namespace std::chrono_literals;

std::optional<std::string> argument(const std::string& name,
                                    const std::vector<std::string>& arguments) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == name) {
            if (i + 1 < arguments.size()) {
                return arguments[i + 1];
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::int64_t milliseconds(const std::string& name, const std::vector<std::string>& arguments) {
    const auto value = argument(name, arguments);
    if (!value || value->empty()) {
        return 0;
    }
    std::string_view digits(*value);
    bool negative = false;
    if (digits.front() == '+' || digits.front() == '-') {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.front() == '+' || digits.front() == '-') {
        return 0;
    }
    std::int64_t parsed = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
    if (error != std::errc() || end != digits.data() + digits.size() || negative) {
        return 0;
    }
    return parsed;
}

namespace {

// The signal handling of the one-shot mode: SIGINT and SIGTERM stop the player from a thread of
// their own, since the main thread may be waiting out a fade-in.
class SignalStopper {
  public:
    explicit SignalStopper(StereoFilePlayer& player) {
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGTERM, SIG_IGN);
        source_ = loop_.watchSignals({SIGINT, SIGTERM}, [&player](int) { player.stop(); });
        thread_ = std::thread([this] { loop_.run(); });
    }
    ~SignalStopper() {
        loop_.stop();
        thread_.join();
    }

  private:
    RunLoop loop_;
    std::unique_ptr<SignalSource> source_;
    std::thread thread_;
};

PlayerResult<int> runOneShot(const std::string& path, const std::vector<std::string>& arguments,
                             audio::AudioSystem& system, RunLoop& loop,
                             AnnouncementTapWait& tapWait) {
    const Fades fades{double(milliseconds("--fade-in-ms", arguments)) / 1000.0,
                      double(milliseconds("--fade-out-ms", arguments)) / 1000.0};
    const char* logPath = std::getenv(kBufferLogVariable);
    auto player = StereoFilePlayer::create(system, path, fades,
                                           logPath && *logPath ? logPath : kDefaultBufferLog);
    if (!player) {
        return fail(std::move(player).error());
    }
    if (!system.supportsProcessTaps()) {
        return fail(PlayerError::playback(kNeedsProcessTaps));
    }
    if (auto attached = tapWait.waitBlocking(); !attached) {
        return fail(std::move(attached).error());
    }
    SignalStopper signals(**player);
    if (auto played = (*player)->play(); !played) {
        return fail(std::move(played).error());
    }
    audio::QueueWatch watch;
    while ((*player)->isPlaying()) {
        loop.runFor(50ms);
        if (programLog().wants(LogLevel::info)) {
            watch.check((*player)->outputStatistics(), programLog());
        }
    }
    (*player)->stop();
    if (auto outcome = (*player)->outcome(); !outcome) {
        return fail(std::move(outcome).error());
    }
    return 0;
}

}  // namespace

int runAnnouncementPlayer(const std::vector<std::string>& arguments) {
    const auto socketPath = argument("--service-socket", arguments);
    const auto filePath = argument("--file", arguments);
    if (!socketPath && !(filePath && filePath->starts_with("/"))) {
        programLog().write(LogLevel::error, kUsage);
        return 1;
    }
    // This thread refills the output; the warm output keeps only three 10.7 ms buffers ahead,
    // which ran dry under a loaded machine's ordinary work at the default priority (measured).
    if (const int refused = raiseThreadPriority(kAudioThreadNice); refused != 0) {
        programLog().detail(LogLevel::debug, "Refilling audio at the default priority: " +
                                                 std::string(std::strerror(refused)) + ".");
    }
    // Declared first so that it outlives the audio system, whose listeners it may carry.
    RunLoop loop;
    auto system = audio::openAudioSystem();
    if (!system) {
        programLog().write(LogLevel::error, system.error());
        return 1;
    }
    AnnouncementTapWait tapWait(**system, loop, ::getpid());
    tapWait.resetBinding();
    auto status = socketPath
                      ? runPersistentAnnouncementService(*socketPath, **system, loop, tapWait)
                      : runOneShot(*filePath, arguments, **system, loop, tapWait);
    if (!status) {
        programLog().write(LogLevel::error, status.error().description());
        return 1;
    }
    return *status;
}

}  // namespace pellimar::announcement
