// Figures for the capture program: the cost of one refresh over 1000 simulated processes, and the
// CPU an idle `run` uses. Usage: process_tap_bench [idle-seconds (default 60)]

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/process_cpu.hpp"
#include "platform/audio_system/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "process_tap/command_line.hpp"
#include "process_tap/process_inventory.hpp"
#include "process_tap/tap_runtime.hpp"
#include "tests/support/child_process.hpp"

namespace {

namespace fs = std::filesystem;
namespace sim = pellimar::audio::sim;
using namespace pellimar::process_tap;
using Clock = std::chrono::steady_clock;

constexpr int kProcesses = 1000;
constexpr int kRounds = 200;

const char* const kBundles[] = {"com.google.Chrome", "com.google.Chrome.helper",
                                "com.apple.Safari",  "org.videolan.vlc",
                                "com.apple.Music",   "com.example.background"};

struct Figures {
    double median = 0, mean = 0, max = 0;
};

Figures summarize(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    Figures f;
    f.median = ms[ms.size() / 2];
    f.max = ms.back();
    for (double m : ms) {
        f.mean += m / static_cast<double>(ms.size());
    }
    return f;
}

void print(const char* what, const Figures& f) {
    std::printf("%-44s median %.3f ms  mean %.3f ms  max %.3f ms\n", what, f.median, f.mean, f.max);
}

double refreshMs(AudioSystem& system, TapRuntime& runtime) {
    const auto begin = Clock::now();
    auto inventory = processes(system);
    if (inventory) {
        runtime.update(*inventory);
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

int benchIdleRun(const fs::path& dir, const std::string& world, const char* label, int seconds) {
    ::setenv("PELLIMAR_AUDIO_SYSTEM", world.c_str(), 1);
    const std::string program = PELLIMAR_BIN_DIR "/pellimar-process-tap";
    const std::string out = (dir / "run.out").string();
    pid_t pid = pellimar::testing::spawnChild({.argv = {program, "run"}, .output = out});
    if (pid < 0) {
        std::fprintf(stderr, "cannot start %s\n", program.c_str());
        return 1;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
        std::ifstream in(out);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.ends_with("\n}\n")) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double before = pellimar::bench::cpuSecondsOf(pid);
    const auto begin = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double used = pellimar::bench::cpuSecondsOf(pid) - before;
    const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
    pellimar::testing::signalAndReap(pid, SIGTERM);
    std::printf("%-44s %.3f s CPU over %.1f s = %.3f %%\n", label, used, wall, 100.0 * used / wall);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    std::string pattern = (fs::temp_directory_path() / "process-tap-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return 1;
    }
    const fs::path dir = pattern;
    const std::string world = (dir / "audio-system.json").string();
    const std::string desktop = (dir / "desktop.json").string();
    sim::WorldBuilder builder;
    auto small = sim::WorldBuilder::defaultMachine();
    for (int i = 0; i < kProcesses; ++i) {
        const std::string bundle = kBundles[i % std::size(kBundles)];
        builder.addProcess(10000 + i, bundle, i % 3 == 0);
        if (i < 30) {
            small.addProcess(10000 + i, bundle, i % 3 == 0);
        }
    }
    if (!builder.write(world) || !small.write(desktop)) {
        return 1;
    }
    ::setenv("PELLIMAR_AUDIO_SYSTEM", world.c_str(), 1);

    {
        auto system = pellimar::audio::openAudioSystem();
        if (!system) {
            std::fprintf(stderr, "%s\n", system.error().c_str());
            return 1;
        }
        auto inventory = processes(**system);
        TapRuntime runtime(**system, defaultSlotBundleIDs(), std::nullopt);
        if (!inventory || !runtime.start(*inventory)) {
            std::fprintf(stderr, "start failed\n");
            return 1;
        }

        std::vector<double> unchanged;
        for (int i = 0; i < kRounds; ++i) {
            unchanged.push_back(refreshMs(**system, runtime));
        }
        print("refresh, 1000 processes, unchanged", summarize(unchanged));

        sim::WorldControl control(world);
        std::vector<double> changed;
        pellimar::audio::ObjectID extra = 0;
        for (int i = 0; i < kRounds; ++i) {
            if (extra == 0) {
                extra = control.addProcess(20000 + i, "com.google.Chrome.helper", true).value();
            } else {
                (void)control.removeProcess(extra);
                extra = 0;
            }
            changed.push_back(refreshMs(**system, runtime));
        }
        print("refresh, 1000 processes, one changed", summarize(changed));
        if (extra != 0) {
            (void)control.removeProcess(extra);
        }
        runtime.stop();
    }

    int status = 0;
    if (idleSeconds > 0) {
        status |= benchIdleRun(dir, desktop, "idle run (30 processes, defaults)", idleSeconds);
        status |= benchIdleRun(dir, world, "idle run (1000 processes, defaults)", idleSeconds);
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return status;
}
