#pragma once
// The persistent service's audio engine: one stereo float output at 48 kHz that runs for the
// life of the process, silent while idle, into which prepared clips are copied 512 frames at a
// time. Everything here runs on the main run loop's thread, except the file reading of a load.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "announcement_player/control_protocol.hpp"
#include "announcement_player/player_error.hpp"
#include "announcement_player/prepared_wav.hpp"
#include "announcement_player/tap_wait.hpp"
#include "platform/audio_queue/audio_queue.hpp"
#include "platform/audio_queue/queue_log.hpp"
#include "platform/run_loop/run_loop.hpp"

namespace pellimar::announcement {

inline constexpr const char* kLoadRefused = "Announcement output busy or invalid file.";
inline constexpr const char* kPlayRefused = "No prepared announcement, or output busy.";
inline constexpr const char* kUnknownCommand = "Unknown announcement command.";

class WarmAnnouncementOutput {
  public:
    static constexpr std::uint32_t bufferFrames = 512;
    static constexpr int bufferCount = 3;
    static constexpr int kStopRampFrames = 240;

    using Emit = std::function<void(const AnnouncementEvent& event)>;
    using Reader = std::function<PlayerResult<Samples>(const std::string& path)>;

    // Builds and starts the stream; callbacks arrive on `loop`. A failure releases what was
    // built. The tap wait (and the system) must outlive the output.
    static PlayerResult<std::unique_ptr<WarmAnnouncementOutput>> create(
        audio::AudioSystem& system, RunLoop& loop, AnnouncementTapWait& tapWait);
    ~WarmAnnouncementOutput();
    WarmAnnouncementOutput(const WarmAnnouncementOutput&) = delete;
    WarmAnnouncementOutput& operator=(const WarmAnnouncementOutput&) = delete;

    // Refills one played buffer and gives it back to the queue.
    void fill(audio::AudioQueueBufferRef buffer);
    // Stops and disposes of the stream at once; later calls do nothing.
    void close();
    // One decoded control command; every answer goes out through `emit`.
    void command(const AnnouncementCommand& command);

    // Where events go; dropped while unset.
    Emit emit;
    // Called with exit status 1 when a buffer cannot be enqueued; the process must then end.
    std::function<void(int)> onFatal;
    // Reads a prepared clip on the load worker (replaceable for tests and benchmarks).
    Reader reader = readPreparedAnnouncementPCM;

    // Observed state, for tests.
    bool loading() const { return loading_; }
    const std::optional<std::string>& loadedID() const { return loadedID_; }
    const std::optional<std::string>& activeID() const { return activeID_; }
    bool stopping() const { return stopping_; }
    bool isOpen() const { return queue_ != nullptr; }

  private:
    WarmAnnouncementOutput(audio::AudioSystem& system, RunLoop& loop, AnnouncementTapWait& tapWait);
    void send(const AnnouncementEvent& event);
    audio::Status refill(audio::AudioQueueBufferRef buffer);
    void load(const std::string& id, const std::string& path);
    void loadRead(const std::string& id, PlayerResult<Samples> result);
    void loadFinished(const std::string& id, PlayerResult<void> outcome);

    audio::AudioSystem& system_;
    RunLoop& loop_;
    AnnouncementTapWait& tapWait_;
    std::unique_ptr<audio::OutputQueue> queue_;

    Samples loaded_;
    std::optional<std::string> loadedID_;
    bool loading_ = false;
    std::optional<std::string> activeID_;
    std::size_t cursor_ = 0;
    Samples playingSamples_;
    audio::AudioQueueBufferRef endBuffer_ = nullptr;
    float lastLeft_ = 0;
    float lastRight_ = 0;
    bool stopping_ = false;

    // A load in progress: the worker, then the clip it read while the tap is confirmed.
    std::thread worker_;
    Samples pending_;
    std::unique_ptr<Timer> loadWait_;
    // Results posted by the worker check this before touching the output.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    // With PELLIMAR_LOG: the output's quantum and underruns, looked at once a second.
    audio::QueueWatch watch_;
    std::unique_ptr<Timer> watchTimer_;
};

}  // namespace pellimar::announcement
