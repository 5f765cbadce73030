#include "player/decoder_pipeline.hpp"

#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <semaphore>
#include <thread>

#include "platform/audio_queue/queue_log.hpp"
#include "platform/run_loop/run_loop.hpp"
#include "player/decoder_process.hpp"
#include "player/decoder_text.hpp"
#include "player/log.hpp"

namespace pellimar::player {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kPipeChunk = 16384;
constexpr std::int64_t kPrebufferBytes = 19200;

std::string homeDirectory(const Environment& environment) {
    if (auto it = environment.find("HOME"); it != environment.end() && !it->second.empty()) {
        return it->second;
    }
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        return pw->pw_dir;
    }
    return {};
}

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// Reads the decoder's PCM into the player until end of file, or until cancelled.
void readDecoderOutput(int fd, int cancelFd, StereoPcmQueuePlayer& player) {
    std::vector<std::uint8_t> chunk(kPipeChunk);
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents) {
            break;
        }
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        player.append(chunk.data(), std::size_t(n));
    }
    player.markEnd();
}

// Drains the decoder's error pipe while it runs, so it never stalls on a full pipe. Once
// cancelled (the decoder has ended) it takes what is left in the pipe, at most what a pipe can
// hold, without waiting for its end: a process the decoder started may still hold it open.
void readDecoderErrors(int fd, int cancelFd, DecoderText& text) {
    constexpr std::size_t kLeftInPipe = 1 << 20;
    char chunk[4096];
    bool cancelled = false;
    std::size_t afterCancel = 0;
    while (afterCancel < kLeftInPipe) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        if (::poll(fds, 2, cancelled ? 0 : -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[0].revents == 0 && (cancelled || fds[1].revents == 0)) {
            return;
        }
        cancelled = cancelled || fds[1].revents != 0;
        if (fds[0].revents == 0) {
            continue;
        }
        const ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text.append(chunk, std::size_t(n));
        afterCancel += cancelled ? std::size_t(n) : 0;
    }
}

// What a finished run leaves to judge.
struct EndedDecoder {
    int status = 0;
    DecoderText text;
};

// The workers of one decoder run. end() is the one way out, also from the destructor, so none
// outlives the player and no decoder outlives the run.
class DecoderRun {
  public:
    DecoderRun(ChildProcess& decoder, StereoPcmQueuePlayer& player)
        : decoder_(decoder), player_(player), cancelFd_(::eventfd(0, EFD_CLOEXEC)) {
        reader_ = std::thread([this] {
            readDecoderOutput(decoder_.outputFd(), cancelFd_, player_);
            readerDone_.release();
        });
        errors_ = std::thread([this] { readDecoderErrors(decoder_.errorFd(), cancelFd_, text_); });
    }

    ~DecoderRun() {
        end();
        ::close(cancelFd_);
    }

    bool waitForReader(std::chrono::milliseconds timeout) {
        readerFinished_ = readerFinished_ || readerDone_.try_acquire_for(timeout);
        return readerFinished_;
    }

    // Stops the player, then the decoder: the terminate request, and SIGKILL when it is still
    // there after a grace period (a decoder that ignores the request, or is stuck, must not hold
    // the player). Both pipes are drained meanwhile, so the decoder never blocks writing into
    // them; the stopped player drops PCM beyond its limit.
    EndedDecoder end() {
        player_.stop();
        EndedDecoder ended;
        ended.status = decoder_.stop();
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(cancelFd_, &one, sizeof(one));
        if (reader_.joinable()) {
            reader_.join();
        }
        if (errors_.joinable()) {
            errors_.join();
        }
        ended.text = text_;
        return ended;
    }

  private:
    ChildProcess& decoder_;
    StereoPcmQueuePlayer& player_;
    int cancelFd_;
    std::binary_semaphore readerDone_{0};
    bool readerFinished_ = false;  // the main thread's memory of having taken readerDone_
    std::thread reader_;
    std::thread errors_;
    DecoderText text_;  // written by errors_, read after joining it
};

}  // namespace

std::vector<std::string> defaultDecoderCandidates(const Environment& environment) {
    return {homeDirectory(environment) + "/Pellimar/Runtime/ffmpeg", "/opt/homebrew/bin/ffmpeg",
            "/usr/local/bin/ffmpeg", "/usr/bin/ffmpeg"};
}

std::optional<std::string> findFFmpeg(const Environment& environment,
                                      const std::vector<std::string>& candidates) {
    if (auto it = environment.find("PELLIMAR_FFMPEG"); it != environment.end()) {
        if (isExecutableFile(it->second)) {
            return it->second;
        }
    }
    for (const auto& candidate : candidates) {
        if (isExecutableFile(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<std::string> findFFmpeg() {
    const Environment environment = processEnvironment();
    return findFFmpeg(environment, defaultDecoderCandidates(environment));
}

std::optional<std::string> certificateAuthorities(const Environment& environment) {
    if (auto it = environment.find("PELLIMAR_PLAYER_CA_FILE");
        it != environment.end() && !it->second.empty()) {
        return it->second;
    }
    struct stat info {};
    if (::stat(kSystemCertificateAuthorities, &info) == 0 && S_ISREG(info.st_mode)) {
        return kSystemCertificateAuthorities;
    }
    return std::nullopt;
}

std::vector<std::string> decoderArguments(const std::string& source, bool isURL,
                                          const std::optional<std::string>& caFile) {
    std::vector<std::string> args = {"-hide_banner", "-loglevel", "error"};
    if (isURL) {
        args.insert(args.end(), {"-reconnect", "1", "-reconnect_streamed", "1",
                                 "-reconnect_on_network_error", "1", "-reconnect_delay_max", "5"});
        // The decoder does not check an https server's certificate unless told to, and then
        // anyone on the path could feed the player.
        args.insert(args.end(), {"-tls_verify", "1"});
        if (caFile) {
            args.insert(args.end(), {"-ca_file", *caFile});
        }
    }
    args.insert(args.end(), {"-i", source, "-f", "s16le", "-acodec", "pcm_s16le", "-ac", "2", "-ar",
                             "48000", "-"});
    return args;
}

std::optional<PlayerError> validateSource(const std::string& source, bool isURL) {
    if (isURL) {
        const auto colon = source.find(':');
        bool ok = colon != std::string::npos && colon > 0 &&
                  std::isalpha(static_cast<unsigned char>(source[0]));
        for (std::size_t i = 0; ok && i < colon; ++i) {
            const auto c = static_cast<unsigned char>(source[i]);
            ok = std::isalnum(c) || c == '+' || c == '-' || c == '.';
        }
        std::string scheme = ok ? source.substr(0, colon) : std::string();
        std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        if (scheme != "https") {
            return PlayerError::usage("Stream URL must be https://\u2026");
        }
        return std::nullopt;
    }
    if (source.empty() || source[0] != '/') {
        return PlayerError::usage("Local player paths must be absolute.");
    }
    return std::nullopt;
}

PlayerResult<void> judgeDecoderEnd(const DecoderEnd& end) {
    const bool signalled = end.status == SIGINT || end.status == SIGTERM;
    if (end.isURL && signalled) {
        return {};
    }
    if (end.isURL && end.incompleteStream) {
        return fail(PlayerError::playback("Incomplete media stream; automatic restart disabled."));
    }
    if (end.status == 0 || signalled) {
        return {};
    }
    if (!end.errorText.empty()) {
        return fail(PlayerError::playback(end.errorText));
    }
    return fail(
        PlayerError::playback("ffmpeg exited with status " + std::to_string(end.status) + "."));
}

std::string mediaName(const std::string& source, bool isURL) {
    if (!isURL) {
        return "Pellimar file: " + source.substr(source.rfind('/') + 1);
    }
    std::string host = source.substr(std::min(source.find("://"), source.size() - 3) + 3);
    host = host.substr(0, host.find_first_of("/?#"));
    host = host.substr(host.rfind('@') + 1);     // no credentials on show
    const std::size_t bracket = host.find(']');  // an IPv6 address keeps its colons
    host = host.substr(0, host.find(':', bracket == std::string::npos ? 0 : bracket));
    return "Pellimar stream: " + host;
}

PlayerResult<void> playFFmpegSource(const std::string& source, bool isURL) {
    if (auto error = validateSource(source, isURL)) {
        return fail(*error);
    }
    auto decoderPath = findFFmpeg();
    if (!decoderPath) {
        return fail(PlayerError::playback("ffmpeg not found for player decode."));
    }

    const auto arguments =
        decoderArguments(source, isURL, certificateAuthorities(processEnvironment()));
    if (programLog().wants(LogLevel::debug)) {
        std::string command = "Decoder: " + *decoderPath;
        for (const auto& argument : arguments) {
            command += " " + argument;
        }
        programLog().write(LogLevel::debug, command);
    }
    ChildProcess decoder(*decoderPath, arguments);
    StereoPcmQueuePlayer::Options options;
    options.openSystem = [] { return audio::openAudioSystem(); };
    options.mediaName = mediaName(source, isURL);
    StereoPcmQueuePlayer player(std::move(options));

    std::atomic<bool> stopRequested{false};
    SignalWatcher signals({SIGINT, SIGTERM}, [&](int) {
        stopRequested = true;
        player.stop();
        decoder.terminate();
    });
    RunLoop loop;
    loop.runFor(1100ms);

    if (auto launched = decoder.launch(); !launched) {
        return fail(PlayerError::playback(launched.error()));
    }
    if (stopRequested) {
        decoder.terminate();  // the signal came while there was no decoder to pass it to
    }
    DecoderRun run(decoder, player);

    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        if (player.bufferedBytes() >= kPrebufferBytes ||
            std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        if (!decoder.running()) {
            // What the decoder wrote before it ended may still sit in the pipe; judge the
            // pending bytes only once the reader has reached the end.
            run.waitForReader(2000ms);
            break;
        }
        loop.runFor(50ms);
    }
    if (player.bufferedBytes() == 0) {
        const std::string text = run.end().text.trimmed();
        return fail(PlayerError::playback(text.empty() ? "Stream produced no audio." : text));
    }

    programLog().detail(LogLevel::debug,
                        "Prebuffered " + std::to_string(player.bufferedBytes()) + " bytes.");
    player.agc().poll();
    if (auto played = player.play(); !played) {
        run.end();
        return played;
    }
    programLog().write(LogLevel::info, std::string("progressive ") + (isURL ? "url" : "file") +
                                           " \u2192 stereo AudioQueue @ 48000 Hz");
    bool outputLost = false;
    audio::QueueWatch watch;
    std::uint64_t starved = 0;
    while (player.isPlaying()) {
        if (player.outputStopped()) {
            // A live stream would otherwise be decoded into nothing for as long as it lasts.
            outputLost = true;
            break;
        }
        player.agc().poll();
        loop.runFor(100ms);
        if (programLog().wants(LogLevel::info)) {
            watch.check(player.outputStatistics(), programLog());
            if (const std::uint64_t now = player.starvedBuffers(); now > starved) {
                programLog().write(LogLevel::warning,
                                   "Decoder behind: " + std::to_string(now - starved) +
                                       " more silent buffers, " + std::to_string(now) + " in all.");
                starved = now;
            }
        }
    }

    player.stop();
    if (decoder.running()) {
        decoder.terminate();
    }
    run.waitForReader(2000ms);
    const EndedDecoder ended = run.end();
    int status = ended.status;
    if ((status == 255 && decoder.terminateSent()) || (status == SIGKILL && decoder.killSent())) {
        // ffmpeg catches the terminate request and exits with 255 instead of dying of it, and a
        // decoder that ignored it was killed: the stop we asked for is not a decoder failure.
        status = SIGTERM;
    }
    programLog().detail(LogLevel::debug,
                        "Decoder ended with status " + std::to_string(ended.status) + ".");
    if (outputLost) {
        return fail(PlayerError::playback(kOutputStopped));
    }
    return judgeDecoderEnd(
        {isURL, status, ended.text.trimmed(), ended.text.mentionsIncompleteStream()});
}

int playerMain(const std::vector<std::string>& arguments) {
    auto argument = [&](const std::string& name) -> std::optional<std::string> {
        auto it = std::find(arguments.begin(), arguments.end(), name);
        if (it == arguments.end() || std::next(it) == arguments.end()) {
            return std::nullopt;
        }
        return *std::next(it);
    };
    if (std::find(arguments.begin(), arguments.end(), "--capabilities") != arguments.end()) {
        const std::string line = "{\"agc\":1,\"sampleRate\":48000,\"channels\":2}\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
        return 0;
    }
    PlayerResult<void> result = fail(PlayerError::usage(
        "Usage: pellimar-player --url <https://\u2026> | --file <absolute-path>"));
    if (auto url = argument("--url")) {
        result = playFFmpegSource(*url, true);
    } else if (auto file = argument("--file")) {
        result = playFFmpegSource(*file, false);
    }
    if (!result) {
        programLog().write(LogLevel::error, result.error().description());
        return 1;
    }
    return 0;
}

}  // namespace pellimar::player
