#pragma once
// The programs' log lines on standard error: one tagged line per write, so that lines of
// concurrent threads never interleave. The lines every run writes are the programs' specified
// ones; PELLIMAR_LOG=info or debug adds more. When standard error is the journal, every line
// starts with its sd-daemon priority ("<3>" ...), which the journal takes off and files the line
// under, so that `journalctl -p` works.
//
// Never call it on an audio data thread: it allocates and makes a system call.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/common/write_all.hpp"

namespace pellimar {

// The journal's priorities: <3>, <4>, <6>, <7>.
enum class LogLevel { error = 3, warning = 4, info = 6, debug = 7 };

enum class LogVerbosity { standard, info, debug };

struct LogSettings {
    LogVerbosity verbosity = LogVerbosity::standard;
    bool journal = false;
    // A PELLIMAR_LOG value that is neither empty, "info" nor "debug": logged as unset, and said.
    std::optional<std::string> unknownValue;
};

// `value` is PELLIMAR_LOG (nullptr: unset), `journalStream` JOURNAL_STREAM, which the service
// manager sets to "DEVICE:INODE" of the stream it gave the service; `fd` the descriptor the lines
// go to, which is the journal only when it is still that very stream.
inline LogSettings readLogSettings(const char* value, const char* journalStream, int fd) {
    LogSettings settings;
    std::string lower = value ? value : "";
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (lower == "info") {
        settings.verbosity = LogVerbosity::info;
    } else if (lower == "debug") {
        settings.verbosity = LogVerbosity::debug;
    } else if (!lower.empty()) {
        settings.unknownValue = value;
    }
    struct stat info {};
    const std::string_view stream = journalStream ? journalStream : "";
    const auto colon = stream.find(':');
    if (colon != std::string_view::npos && ::fstat(fd, &info) == 0) {
        unsigned long long device = 0, inode = 0;
        const char* end = stream.data() + stream.size();
        const auto [deviceEnd, deviceError] =
            std::from_chars(stream.data(), stream.data() + colon, device);
        const auto [inodeEnd, inodeError] = std::from_chars(stream.data() + colon + 1, end, inode);
        settings.journal = deviceError == std::errc() && deviceEnd == stream.data() + colon &&
                           inodeError == std::errc() && inodeEnd == end &&
                           device == static_cast<unsigned long long>(info.st_dev) &&
                           inode == static_cast<unsigned long long>(info.st_ino);
    }
    return settings;
}

class LogWriter {
  public:
    // `tag` begins every line, "[process-tap] " for example; empty for none.
    LogWriter(std::string tag, LogSettings settings, int fd = STDERR_FILENO)
        : tag_(std::move(tag)), settings_(std::move(settings)), fd_(fd) {}

    // From the environment, for standard error; says once that PELLIMAR_LOG was not understood.
    static LogWriter fromEnvironment(std::string tag) {
        LogWriter writer(std::move(tag),
                         readLogSettings(std::getenv("PELLIMAR_LOG"), std::getenv("JOURNAL_STREAM"),
                                         STDERR_FILENO));
        if (const auto& unknown = writer.settings_.unknownValue) {
            writer.write(LogLevel::warning, "PELLIMAR_LOG=" + *unknown +
                                                " is not info or debug; logging as if unset.");
        }
        return writer;
    }

    // A line every run writes, whatever PELLIMAR_LOG says; the level only files it.
    void write(LogLevel level, std::string_view text) const {
        std::string line;
        if (settings_.journal) {
            line += '<';
            line += char('0' + int(level));
            line += '>';
        }
        line += tag_;
        line += text;
        line += '\n';
        writeWhole(line);
    }

    // A line only PELLIMAR_LOG asks for: debug lines with "debug", the others with either.
    void detail(LogLevel level, std::string_view text) const {
        if (wants(level)) {
            write(level, text);
        }
    }

    // Whether detail(level, …) writes anything, to spare building a line nobody reads.
    bool wants(LogLevel level) const {
        return level == LogLevel::debug ? settings_.verbosity == LogVerbosity::debug
                                        : settings_.verbosity != LogVerbosity::standard;
    }

    const LogSettings& settings() const { return settings_; }

  private:
    // One write normally; failures are dropped, there is nowhere left to report them.
    void writeWhole(std::string_view bytes) const { (void)writeAll(fd_, bytes); }

    std::string tag_;
    LogSettings settings_;
    int fd_;
};

}  // namespace pellimar
