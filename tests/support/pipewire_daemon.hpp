#pragma once
// A private headless PipeWire daemon with WirePlumber for the tests: its own XDG_RUNTIME_DIR,
// configuration and state in a temporary directory. The environment of this process points at it,
// so the PipeWire backend and the command-line tools the tests run find it.

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace pellimar::testing {

class PipeWireDaemon {
  public:
    // Whether the daemon's packages are installed; tests may skip without them only outside CI.
    static bool installed() {
        return std::filesystem::exists(binary("pipewire")) &&
               std::filesystem::exists(binary("wireplumber")) &&
               std::filesystem::exists(binary("pw-cli"));
    }

    // The daemons' binaries: the system's, or those of the tree scripts/newer-pipewire.sh
    // unpacked (it sets PELLIMAR_TEST_PIPEWIRE_ROOT and the libraries' paths).
    static std::string binary(const std::string& name) {
        const char* root = std::getenv("PELLIMAR_TEST_PIPEWIRE_ROOT");
        return std::string(root ? root : "") + "/usr/bin/" + name;
    }
    static bool mustRun() {
        const char* ci = std::getenv("CI");
        return ci && *ci && std::string(ci) != "false";
    }

    PipeWireDaemon() {
        runtime_ = dir_ / "runtime";
        for (const char* sub : {"runtime", "config/wireplumber/main.lua.d", "state", "home"}) {
            std::filesystem::create_directories(dir_ / sub);
        }
        ::chmod(runtime_.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
        ::unsetenv("PIPEWIRE_REMOTE");
        ::unsetenv("PIPEWIRE_PROPS");
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        if (const char* root = std::getenv("PELLIMAR_TEST_PIPEWIRE_ROOT")) {
            // WirePlumber 0.5: our headless fragment, then its own configuration.
            const std::string dirs =
                (dir_ / "config/wireplumber") + ":" + root + "/usr/share/wireplumber";
            ::setenv("WIREPLUMBER_CONFIG_DIR", dirs.c_str(), 1);
        }
        writeConfig();
        start();
    }

    ~PipeWireDaemon() { stop(); }
    PipeWireDaemon(const PipeWireDaemon&) = delete;
    PipeWireDaemon& operator=(const PipeWireDaemon&) = delete;

    // Empty once the daemon answers (and the session manager has made its metadata).
    const std::string& error() const { return error_; }
    const std::string& dir() const { return dir_.path(); }
    std::string file(const std::string& name) const { return dir_ / name; }

    // Starts the PulseAudio server, so that pulse clients (paplay, pulsesink, browsers) and ALSA
    // clients through the pipewire plugin can play; most desktop applications use one of them.
    bool startPulse() {
        if (pulse_ > 0) {
            return true;
        }
        // pipewire-pulse checks for its directory, then makes it, and gives up if something
        // (a client probing meanwhile) made it in between.
        std::filesystem::create_directories(runtime_ + "/pulse");
        ::chmod((runtime_ + "/pulse").c_str(), 0700);
        pulse_ = spawn(orphanProof({binary("pipewire-pulse"), "-c", dir_ / "pipewire-pulse.conf"}),
                       dir_ / "pipewire-pulse.log");
        return pulse_ > 0 && waitFor([] { return run("pactl info >/dev/null 2>&1"); });
    }

    // Stops or continues WirePlumber (SIGSTOP, SIGCONT): it keeps the "default" metadata, so
    // while stopped no change of it is answered.
    void signalSessionManager(int signal) const { ::kill(sessionManager_, signal); }

    // Kills the daemon without warning, as a crash would.
    void killDaemon() {
        signalAndReap(pulse_, SIGKILL);
        signalAndReap(sessionManager_, SIGKILL);
        signalAndReap(daemon_, SIGKILL);
    }

    void stop() {
        signalAndReap(pulse_, SIGTERM);
        signalAndReap(sessionManager_, SIGTERM);
        signalAndReap(daemon_, SIGTERM);
    }

    // Runs a shell command in this daemon's environment; true when it exited 0.
    static bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

    // A null sink or source of the given class that outlives the tool that made it.
    static bool createNullNode(const std::string& name, const std::string& description,
                               const std::string& mediaClass, int channels) {
        std::string positions = channels == 1   ? "[ MONO ]"
                                : channels == 2 ? "[ FL FR ]"
                                                : "[ FL FR FC LFE RL RR SL SR ]";
        return run(
            "pw-cli create-node adapter '{ factory.name = support.null-audio-sink "
            "node.name = \"" +
            name + "\" node.description = \"" + description + "\" media.class = " + mediaClass +
            " object.linger = true audio.channels = " + std::to_string(channels) +
            " audio.position = " + positions +
            " session.suspend-timeout-seconds = 0 }' >/dev/null");
    }

    static bool destroyNode(const std::string& name) {
        return run("pw-cli destroy '" + name + "' >/dev/null 2>&1");
    }

    // Waits until `done` holds, at most `limit`; a hang guard, not a timing.
    template <typename F>
    static bool waitFor(F done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // Starts a program in the background, its output appended to `log`; its pid.
    static pid_t spawn(const std::vector<std::string>& argv, const std::string& log) {
        return spawnChild({.argv = argv,
                           .input = "/dev/null",
                           .output = log,
                           .error = log,
                           .append = true,
                           .mode = 0644});
    }

    static int signalAndReap(pid_t& pid, int signal) { return testing::signalAndReap(pid, signal); }

  private:
    // A test that crashes must not leave its daemons running: they die with it.
    static std::vector<std::string> orphanProof(std::vector<std::string> argv) {
        if (std::filesystem::exists("/usr/bin/setpriv")) {
            argv.insert(argv.begin(), {"/usr/bin/setpriv", "--pdeathsig", "KILL", "--"});
        }
        return argv;
    }

    // The configuration the demo script uses too.
    void writeConfig() {
        const std::filesystem::path source = std::string(PELLIMAR_SOURCE_DIR) + "/scripts/pipewire";
        std::filesystem::copy_file(source / "pipewire.conf", dir_ / "pipewire.conf");
        std::filesystem::copy_file(source / "pipewire-pulse.conf", dir_ / "pipewire-pulse.conf");
        std::filesystem::copy_file(source / "60-headless.lua",
                                   dir_ / "config/wireplumber/main.lua.d/60-headless.lua");
        std::filesystem::create_directories(dir_ / "config/wireplumber/wireplumber.conf.d");
        std::filesystem::copy_file(source / "60-headless.conf",
                                   dir_ / "config/wireplumber/wireplumber.conf.d/60-headless.conf");
    }

    void start() {
        daemon_ = spawn(orphanProof({binary("pipewire"), "-c", dir_ / "pipewire.conf"}),
                        dir_ / "pipewire.log");
        if (daemon_ < 0 || !waitFor([] { return run("pw-cli info 0 >/dev/null 2>&1"); })) {
            error_ =
                "the private PipeWire daemon did not start (see " + (dir_ / "pipewire.log") + ")";
            return;
        }
        sessionManager_ = spawn(orphanProof({binary("wireplumber")}), dir_ / "wireplumber.log");
        if (sessionManager_ < 0 || !waitFor([] {
                return run(
                    "pw-cli ls Metadata 2>/dev/null | grep -q 'metadata.name = \"default\"'");
            })) {
            error_ = "WirePlumber did not start (see " + (dir_ / "wireplumber.log") + ")";
        }
    }

    TempDir dir_;
    std::string runtime_;
    pid_t daemon_ = -1;
    pid_t sessionManager_ = -1;
    pid_t pulse_ = -1;
    std::string error_;
};

// Starts the daemon for a test, failing in CI and skipping elsewhere when it is not installed.
#define PELLIMAR_REQUIRE_PIPEWIRE()                                                 \
    do {                                                                            \
        if (!::pellimar::testing::PipeWireDaemon::installed()) {                    \
            if (::pellimar::testing::PipeWireDaemon::mustRun()) {                   \
                FAIL() << "PipeWire is not installed; scripts/deps.sh installs it"; \
            }                                                                       \
            GTEST_SKIP() << "PipeWire is not installed";                            \
        }                                                                           \
    } while (false)

}  // namespace pellimar::testing
