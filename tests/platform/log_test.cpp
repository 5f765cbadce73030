#include "platform/common/log.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/audio_queue/queue_log.hpp"
#include "tests/support/temp_dir.hpp"

namespace pellimar {
namespace {

// A file the writer writes into, read back whole.
class LogFile {
  public:
    LogFile() : path_(dir_.file("log")) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    }
    ~LogFile() { ::close(fd_); }
    int fd() const { return fd_; }
    std::string text() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }
    // JOURNAL_STREAM's value for this very file.
    std::string stream() const {
        struct stat info {};
        ::fstat(fd_, &info);
        return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    }

  private:
    testing::TempDir dir_;
    std::string path_;
    int fd_ = -1;
};

TEST(LogSettings, ValuesOfTheVariable) {
    EXPECT_EQ(readLogSettings(nullptr, nullptr, 2).verbosity, LogVerbosity::standard);
    EXPECT_EQ(readLogSettings("info", nullptr, 2).verbosity, LogVerbosity::info);
    EXPECT_EQ(readLogSettings("DEBUG", nullptr, 2).verbosity, LogVerbosity::debug);
    const auto empty = readLogSettings("", nullptr, 2);
    EXPECT_EQ(empty.verbosity, LogVerbosity::standard);
    EXPECT_FALSE(empty.unknownValue);
    for (const char* unknown : {"verbose", "1", " info", "warning"}) {
        const auto settings = readLogSettings(unknown, nullptr, 2);
        EXPECT_EQ(settings.verbosity, LogVerbosity::standard) << unknown;
        EXPECT_EQ(settings.unknownValue, std::optional<std::string>(unknown));
    }
}

TEST(LogSettings, JournalOnlyWhenTheStreamIsThisVeryDescriptor) {
    LogFile file;
    EXPECT_TRUE(readLogSettings(nullptr, file.stream().c_str(), file.fd()).journal);
    LogFile other;
    EXPECT_FALSE(readLogSettings(nullptr, other.stream().c_str(), file.fd()).journal);
    for (const std::string& broken : {std::string(), file.stream() + "0", file.stream() + " ",
                                      ":" + file.stream(), std::string("12")}) {
        EXPECT_FALSE(readLogSettings(nullptr, broken.c_str(), file.fd()).journal) << broken;
    }
    EXPECT_FALSE(readLogSettings(nullptr, file.stream().c_str(), -1).journal);
}

TEST(LogWriter, SpecifiedLinesAlwaysDetailOnlyWhenAskedFor) {
    for (const auto verbosity : {LogVerbosity::standard, LogVerbosity::info, LogVerbosity::debug}) {
        LogFile file;
        const LogWriter log("[tag] ", {verbosity, false, std::nullopt}, file.fd());
        log.write(LogLevel::debug, "always");
        log.detail(LogLevel::error, "error");
        log.detail(LogLevel::warning, "warning");
        log.detail(LogLevel::info, "info");
        log.detail(LogLevel::debug, "debug");
        const std::string expected[] = {
            "[tag] always\n", "[tag] always\n[tag] error\n[tag] warning\n[tag] info\n",
            "[tag] always\n[tag] error\n[tag] warning\n[tag] info\n[tag] debug\n"};
        EXPECT_EQ(file.text(), expected[int(verbosity)]);
    }
}

TEST(LogWriter, JournalLinesStartWithTheirPriority) {
    LogFile file;
    const LogWriter log("[tag] ", readLogSettings("debug", file.stream().c_str(), file.fd()),
                        file.fd());
    log.write(LogLevel::error, "e");
    log.write(LogLevel::warning, "w");
    log.detail(LogLevel::info, "i");
    log.detail(LogLevel::debug, "d");
    const LogWriter untagged("", readLogSettings(nullptr, file.stream().c_str(), file.fd()),
                             file.fd());
    untagged.write(LogLevel::info, "plain");
    EXPECT_EQ(file.text(), "<3>[tag] e\n<4>[tag] w\n<6>[tag] i\n<7>[tag] d\n<6>plain\n");
}

TEST(LogWriter, LinesFromManyThreadsStayWhole) {
    LogFile file;
    const LogWriter log("[tag] ", {LogVerbosity::info, false, std::nullopt}, file.fd());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 300; ++i) {
                log.detail(LogLevel::info, "thread " + std::to_string(t) + " line " +
                                               std::to_string(i) + std::string(100, 'x'));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::istringstream lines(file.text());
    const std::regex whole(R"(\[tag\] thread [0-3] line [0-9]+x{100})");
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    }
    EXPECT_EQ(count, 1200);
}

TEST(QueueWatch, SaysTheQuantumWhenKnownOrChangedAndUnderrunsAsTheyAddUp) {
    LogFile file;
    const LogWriter log("[p] ", {LogVerbosity::info, false, std::nullopt}, file.fd());
    audio::QueueWatch watch;
    watch.check({0, 0}, log);
    watch.check({1024, 0}, log);
    watch.check({1024, 0}, log);
    watch.check({256, 2}, log);
    watch.check({256, 3}, log);
    EXPECT_EQ(file.text(),
              "[p] Output quantum: 1024 frames.\n"
              "[p] Output quantum: 256 frames.\n"
              "[p] Output underrun: 2 more, 2 in all.\n"
              "[p] Output underrun: 1 more, 3 in all.\n");

    LogFile quiet;
    audio::QueueWatch unasked;
    unasked.check({512, 9}, LogWriter("[p] ", {}, quiet.fd()));
    EXPECT_EQ(quiet.text(), "");
}

}  // namespace
}  // namespace pellimar
