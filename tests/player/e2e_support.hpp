#pragma once
// Runs the built pellimar-player in a world of its own: a temporary audio system file, recording
// directory and home directory, with output captured to files.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/platform/audio_queue/test_support.hpp"
#include "tests/support/child_process.hpp"

namespace pellimar::testing {

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Runs a shell command line; true when it exited 0.
inline bool shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

class PlayerWorld {
  public:
    PlayerWorld() {
        std::filesystem::create_directories(dir / "rec");
        std::filesystem::create_directories(dir / "home");
        environment_ = {{"PELLIMAR_AUDIO_SYSTEM", dir / "world.json"},
                        {"PELLIMAR_SIM_RECORD_DIR", dir / "rec"},
                        {"HOME", dir / "home"}};
    }

    void set(const std::string& name, const std::string& value) { environment_[name] = value; }
    // The standard descriptors the next programs start without (out() and err() then stay empty).
    void closeAtStart(std::vector<int> descriptors) { closed_ = std::move(descriptors); }

    // Generates `seconds` of a distinct tone on each channel as a 48 kHz 16-bit WAV file.
    std::string makeTone(const std::string& name, double seconds) {
        std::string path = dir / name;
        const std::string command =
            "ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i "
            "'aevalsrc=0.3*sin(2*PI*440*t)|0.2*sin(2*PI*330*t):s=48000:d=" +
            std::to_string(seconds) + "' -ac 2 -c:a pcm_s16le -y '" + path + "'";
        EXPECT_TRUE(shell(command));
        return path;
    }

    // What the decoder makes of a file, as the player asks for it.
    std::vector<std::int16_t> decode(const std::string& path) {
        const std::string raw = dir / "reference.raw";
        EXPECT_TRUE(shell("ffmpeg -nostdin -hide_banner -loglevel error -i '" + path +
                          "' -f s16le -acodec pcm_s16le -ac 2 -ar 48000 -y '" + raw + "'"));
        const std::string bytes = readText(raw);
        std::vector<std::int16_t> samples(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        return samples;
    }

    std::vector<std::int16_t> recorded() {
        const auto files = recordings(dir / "rec");
        EXPECT_EQ(files.size(), 1u);
        return files.empty() ? std::vector<std::int16_t>{} : readRecording(files[0]).samples;
    }

    // The program that start() runs, from the build's bin directory.
    std::string program = "pellimar-player";

    // Starts the player (or `wrapper` followed by the player) with the world's environment.
    pid_t start(const std::vector<std::string>& arguments,
                const std::vector<std::string>& wrapper = {}) {
        std::vector<std::string> argv = wrapper;
        argv.push_back(std::string(PELLIMAR_BIN_DIR) + "/" + program);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        // The test's own PELLIMAR_ variables do not leak into the program.
        const pid_t pid = spawnChild({.argv = argv,
                                      .environment = environmentWith(environment_, "PELLIMAR_"),
                                      .input = "/dev/null",
                                      .output = dir / "stdout.txt",
                                      .error = dir / "stderr.txt",
                                      .mode = 0644,
                                      .closed = closed_,
                                      .searchPath = true});
        EXPECT_GT(pid, 0);
        return pid;
    }

    // The exit status, or 128 + the signal; -1 when it did not end in time (it is then killed).
    int wait(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(90)) {
        if (auto status = waitChild(pid, limit)) {
            return exitCode(*status);
        }
        ::kill(pid, SIGKILL);
        waitChild(pid);
        return -1;
    }

    int run(const std::vector<std::string>& arguments,
            const std::vector<std::string>& wrapper = {}) {
        return wait(start(arguments, wrapper));
    }

    std::string out() { return readText(dir / "stdout.txt"); }
    std::string err() { return readText(dir / "stderr.txt"); }

    TempDir dir;

  private:
    std::map<std::string, std::string> environment_;
    std::vector<int> closed_;
};

}  // namespace pellimar::testing
