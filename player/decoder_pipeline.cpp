#include "player/decoder_pipeline.hpp"

#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <regex>
#include <semaphore>
#include <thread>

#include "platform/run_loop/run_loop.hpp"
#include "player/decoder_process.hpp"
#include "player/log.hpp"

namespace pellimar::player {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kPipeChunk = 16384;
constexpr std::int64_t kPrebufferBytes = 19200;
// The decoder's text is judged after it ends; a chatty decoder keeps only its latest words.
constexpr std::size_t kErrorTextLimit = 1 << 20;

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

bool validUtf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size()) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) ||
            (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

bool isTrimmable(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
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

// Drains the decoder's error pipe while it runs, so it never stalls on a full pipe.
std::string readDecoderErrors(int fd) {
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text.append(chunk, std::size_t(n));
        if (text.size() > kErrorTextLimit) {
            std::size_t cut = text.size() - kErrorTextLimit;
            while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
                ++cut;
            }
            text.erase(0, cut);
        }
    }
    return text;
}

// The workers of one decoder run. Joined on every way out, so none outlives the player.
class DecoderRun {
  public:
    DecoderRun(ChildProcess& decoder, StereoPcmQueuePlayer& player)
        : decoder_(decoder), player_(player), cancelFd_(::eventfd(0, EFD_CLOEXEC)) {
        reader_ = std::thread([this] {
            readDecoderOutput(decoder_.outputFd(), cancelFd_, player_);
            readerDone_.release();
        });
        errors_ = std::thread([this] { errorBytes_ = readDecoderErrors(decoder_.errorFd()); });
    }

    ~DecoderRun() {
        player_.stop();
        decoder_.terminate();
        finish();
        ::close(cancelFd_);
    }

    bool waitForReader(std::chrono::milliseconds timeout) {
        readerFinished_ = readerFinished_ || readerDone_.try_acquire_for(timeout);
        return readerFinished_;
    }

    // After the decoder has ended: the reader is released if something else still holds the
    // pipe open, and the whole error text is returned.
    std::string finish() {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(cancelFd_, &one, sizeof(one));
        if (reader_.joinable()) {
            reader_.join();
        }
        if (errors_.joinable()) {
            errors_.join();
        }
        return errorBytes_;
    }

  private:
    ChildProcess& decoder_;
    StereoPcmQueuePlayer& player_;
    int cancelFd_;
    std::binary_semaphore readerDone_{0};
    bool readerFinished_ = false;  // the main thread's memory of having taken readerDone_
    std::thread reader_;
    std::thread errors_;
    std::string errorBytes_;  // written by errors_, read after joining it
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

std::vector<std::string> decoderArguments(const std::string& source, bool isURL) {
    std::vector<std::string> args = {"-hide_banner", "-loglevel", "error"};
    if (isURL) {
        args.insert(args.end(), {"-reconnect", "1", "-reconnect_streamed", "1",
                                 "-reconnect_on_network_error", "1", "-reconnect_delay_max", "5"});
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

std::string trimmedDecoderText(const std::string& bytes) {
    if (!validUtf8(bytes)) {
        return {};
    }
    std::size_t begin = 0;
    std::size_t end = bytes.size();
    while (begin < end && isTrimmable(static_cast<unsigned char>(bytes[begin]))) {
        ++begin;
    }
    while (end > begin && isTrimmable(static_cast<unsigned char>(bytes[end - 1]))) {
        --end;
    }
    return bytes.substr(begin, end - begin);
}

PlayerResult<void> judgeDecoderEnd(const DecoderEnd& end) {
    const bool signalled = end.status == SIGINT || end.status == SIGTERM;
    if (end.isURL && signalled) {
        return {};
    }
    if (end.isURL) {
        static const std::regex incomplete(
            "stream ends prematurely|input/output error|connection (reset|timed out)|"
            "error during demuxing|error in the pull function",
            std::regex::ECMAScript | std::regex::icase);
        if (std::regex_search(end.errorText, incomplete)) {
            return fail(
                PlayerError::playback("Incomplete media stream; automatic restart disabled."));
        }
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

PlayerResult<void> playFFmpegSource(const std::string& source, bool isURL) {
    if (auto error = validateSource(source, isURL)) {
        return fail(*error);
    }
    auto decoderPath = findFFmpeg();
    if (!decoderPath) {
        return fail(PlayerError::playback("ffmpeg not found for player decode."));
    }

    ChildProcess decoder(*decoderPath, decoderArguments(source, isURL));
    StereoPcmQueuePlayer::Options options;
    options.openSystem = [] { return audio::openAudioSystem(); };
    StereoPcmQueuePlayer player(std::move(options));

    SignalWatcher signals({SIGINT, SIGTERM}, [&](int) {
        player.stop();
        decoder.terminate();
    });
    RunLoop loop;
    loop.runFor(1100ms);

    if (auto launched = decoder.launch(); !launched) {
        return fail(PlayerError::playback(launched.error()));
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
        decoder.terminate();
        decoder.waitForExit();
        const std::string text = trimmedDecoderText(run.finish());
        return fail(PlayerError::playback(text.empty() ? "Stream produced no audio." : text));
    }

    player.agc().poll();
    if (auto played = player.play(); !played) {
        return played;  // the run's destructor stops the decoder and joins the workers
    }
    logLine(std::string("progressive ") + (isURL ? "url" : "file") +
            " \u2192 stereo AudioQueue @ 48000 Hz");
    while (player.isPlaying()) {
        player.agc().poll();
        loop.runFor(100ms);
    }

    player.stop();
    if (decoder.running()) {
        decoder.terminate();
    }
    run.waitForReader(2000ms);
    int status = decoder.waitForExit();
    if (status == 255 && decoder.terminateSent()) {
        // ffmpeg catches the terminate request and exits with 255 instead of dying of it; the
        // stop we asked for is not a decoder failure.
        status = SIGTERM;
    }
    const std::string text = trimmedDecoderText(run.finish());
    return judgeDecoderEnd({isURL, status, text});
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
        logLine(result.error().description());
        return 1;
    }
    return 0;
}

}  // namespace pellimar::player
