// Announcement player figures, against the simulated audio system:
//   play latency   "play" command to the first clip sample leaving the queue, 200 plays
//   load           a 30-minute prepared clip: time and peak memory
//   idle CPU       the warm output with nothing to play
// Usage: announcement_bench [idle-seconds (default 60)] [load]   ("load": the load figure only)

#include <sndfile.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "announcement_player/prepared_wav.hpp"
#include "announcement_player/warm_output.hpp"
#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"

using namespace pellimar;
using namespace pellimar::announcement;
using namespace std::chrono_literals;
namespace sim = audio::sim;
using nlohmann::json;

namespace {

double wallMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A simulated machine in a directory of its own, with the capture tap on this process.
struct Machine {
    explicit Machine(const std::string& dir) : path(dir + "/world.json") {
        (void)sim::WorldBuilder::defaultMachine().write(path);
        system = std::move(sim::SimAudioSystem::open(path)).value();
    }
    void attach() {
        (void)sim::WorldControl(path).update([](sim::World& world) {
            sim::Tap tap;
            tap.id = world.allocateID();
            tap.uid = sim::newTapUID();
            tap.description.name = "Pellimar application slot 1";
            for (const auto& p : world.processes) {
                if (p.pid == ::getpid()) {
                    tap.description.processes.push_back(p.id);
                }
            }
            tap.format = sim::tapFormat(false);
            world.taps.push_back(tap);
        });
    }
    std::string path;
    std::unique_ptr<audio::AudioSystem> system;
};

bool runUntil(RunLoop& loop, const std::function<bool()>& done) {
    bool expired = false;
    auto guard = loop.scheduleOnce(30s, [&] {
        expired = true;
        loop.stop();
    });
    loop.runUntil([&] { return expired || done(); });
    return done();
}

void playLatency(const std::string& dir) {
    const std::string records = dir + "/rec";
    std::filesystem::create_directories(records);
    std::filesystem::create_directories(dir);
    ::setenv("PELLIMAR_SIM_RECORD_DIR", records.c_str(), 1);
    Machine machine(dir);
    RunLoop loop;
    AnnouncementTapWait tapWait(*machine.system, loop, ::getpid());
    auto output = std::move(WarmAnnouncementOutput::create(*machine.system, loop, tapWait)).value();
    machine.attach();
    std::vector<json> events;
    output->emit = [&](const AnnouncementEvent& e) {
        events.push_back(encodeAnnouncementEvent(e));
    };
    // A 10 ms clip, never silent, held in memory.
    Samples clip(960, 0.25f);
    output->reader = [&](const std::string&) -> PlayerResult<Samples> { return clip; };

    std::mt19937 random(7);
    std::vector<double> playedAt;
    for (int i = 0; i < 200; ++i) {
        events.clear();
        output->command({"c", "load", "/clip", {}, {}});
        runUntil(loop, [&] { return !events.empty(); });
        // Commands arrive at any phase of the buffer cycle.
        loop.runFor(std::chrono::microseconds(random() % 11000));
        playedAt.push_back(wallMs());
        output->command({"p", "play", {}, "c", {}});
        runUntil(loop, [&] { return events.size() >= 3; });
    }
    loop.runFor(50ms);
    output.reset();
    ::unsetenv("PELLIMAR_SIM_RECORD_DIR");

    // Onsets in the recording, placed on the wall clock by the sidecar's start time.
    std::string wav, sidecar;
    for (const auto& entry : std::filesystem::directory_iterator(records)) {
        (entry.path().extension() == ".wav" ? wav : sidecar) = entry.path().string();
    }
    std::ifstream in(sidecar);
    const double startedAtMs = json::parse(in)["startedAtMs"].get<double>();
    SF_INFO info{};
    SNDFILE* file = sf_open(wav.c_str(), SFM_READ, &info);
    std::vector<float> samples(std::size_t(info.frames * 2));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    std::vector<double> latencies;
    std::size_t next = 0;
    for (std::size_t frame = 0; frame < std::size_t(info.frames) && next < playedAt.size();
         ++frame) {
        const bool sound = samples[2 * frame] != 0;
        const bool before = frame > 0 && samples[2 * frame - 2] != 0;
        if (sound && !before) {
            latencies.push_back(startedAtMs + 1000.0 * double(frame) / 48000.0 - playedAt[next++]);
        }
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf(
        "play to first clip sample heard (%zu plays): p50 %.1f ms, max %.1f ms "
        "(targets: p50 <= 16 ms, max <= 32 ms)\n",
        latencies.size(), latencies[latencies.size() / 2], latencies.back());
}

void load30Minutes(const std::string& dir) {
    const std::string path = dir + "/30min.wav";
    {
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        std::vector<short> block(48000 * 2);
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = short((i * 37) % 20000 - 10000);
        }
        for (int s = 0; s < 30 * 60; ++s) {
            sf_writef_short(file, block.data(), 48000);
        }
        sf_close(file);
    }
    const auto fileBytes = std::filesystem::file_size(path);
    const double clipBytes = double(kLongestAnnouncementFrames) * 8;
    // In a child of its own, so that its peak memory is the load's alone.
    int pipes[2];
    if (::pipe(pipes) != 0) {
        return;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const auto start = std::chrono::steady_clock::now();
        auto samples = readPreparedAnnouncementPCM(path);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const bool ok =
            samples.ok() && samples->size() == std::size_t(kLongestAnnouncementFrames) * 2;
        const ssize_t written = ::write(pipes[1], &seconds, sizeof seconds);
        ::_exit(ok && written == sizeof seconds ? 0 : 1);
    }
    ::close(pipes[1]);
    double seconds = 0;
    const bool got = ::read(pipes[0], &seconds, sizeof seconds) == sizeof seconds;
    ::close(pipes[0]);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    std::filesystem::remove(path);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("30-minute load failed\n");
        return;
    }
    const double peak = double(usage.ru_maxrss) * 1024;
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf(
        "30-minute clip (%.0f MB file, %.0f MB of samples): loaded in %.3f s (%.3f s of "
        "CPU), peak memory %.0f MB = clip + %.1f %% (targets: <= 0.3 s, <= clip + 10 %%)\n",
        double(fileBytes) / 1e6, clipBytes / 1e6, seconds, cpu, peak / 1e6,
        100.0 * (peak - clipBytes) / clipBytes);
}

void idleCpu(const std::string& dir, double seconds) {
    std::filesystem::create_directories(dir);
    Machine machine(dir);
    RunLoop loop;
    AnnouncementTapWait tapWait(*machine.system, loop, ::getpid());
    auto output = std::move(WarmAnnouncementOutput::create(*machine.system, loop, tapWait)).value();
    loop.runFor(200ms);
    const double cpu0 = cpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    loop.runFor(
        std::chrono::duration_cast<RunLoop::Duration>(std::chrono::duration<double>(seconds)));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    std::printf("idle warm output over %.0f s: %.3f %% of a core (target < 0.5 %%)\n", wall,
                100.0 * (cpuSeconds() - cpu0) / wall);
}

}  // namespace

int main(int argc, char** argv) {
    const double idleSeconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    char pattern[] = "/tmp/announcement-bench-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    if (argc > 2 && std::string(argv[2]) == "load") {
        load30Minutes(dir);
        std::filesystem::remove_all(dir);
        return 0;
    }
    playLatency(dir + "/latency");
    load30Minutes(dir);
    idleCpu(dir + "/idle", idleSeconds > 0 ? idleSeconds : 60.0);
    std::filesystem::remove_all(dir);
}
