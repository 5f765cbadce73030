// Figures for the stream player: gain control throughput on one core, and the player's own CPU
// and resident memory while it plays a long local file (ffmpeg not counted).
//
// Also ours against ffmpeg's speechnorm and dynaudnorm on the same material.
//
//   player_bench [seconds-of-playback-to-measure]   (default 30; the file is 10 minutes long)

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "player/native_agc.hpp"
#include "tests/support/child_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using pellimar::player::AgcEnvelope;
using pellimar::player::AgcSettings;
using pellimar::player::NativeAgc;

// Speech-like material: a tone whose level wanders by tens of dB, with pauses.
std::vector<std::int16_t> material(std::size_t frames) {
    std::vector<std::int16_t> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = double(i) / 48000;
        const double envelope = std::pow(10, (-30 + 20 * std::sin(t * 0.7)) / 20);
        const bool pause = std::fmod(t, 7.0) > 6.0;
        const double v = pause ? 0 : envelope * std::sin(2 * M_PI * 440 * t);
        samples[2 * i] = std::int16_t(std::lround(v * 32767));
        samples[2 * i + 1] = std::int16_t(std::lround(v * 0.8 * 32767));
    }
    return samples;
}

double threadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Multiples of real time over the material: per second of this thread's CPU time, and
// per second of wall time (lower when other work shares the core). As in the player, each chunk
// is copied into an output-sized buffer and processed there while it is in cache; the copying
// alone is timed as well and subtracted, as ffmpeg's read is from its filters.
std::pair<double, double> agcRealTimeFactor(bool enabled, const std::vector<std::int16_t>& source) {
    const std::size_t frames = source.size() / 2;
    constexpr std::size_t kChunk = 4096;
    NativeAgc agc(pellimar::player::Environment{});
    AgcSettings settings;
    settings.enabled = enabled;
    agc.configure(AgcEnvelope{1, settings});
    std::vector<std::int16_t> chunk(2 * kChunk);
    auto pass = [&](bool process) {
        const double cpuStart = threadCpuSeconds();
        const auto start = Clock::now();
        for (std::size_t done = 0; done < frames; done += kChunk) {
            const std::size_t n = std::min(kChunk, frames - done);
            std::copy_n(source.data() + 2 * done, 2 * n, chunk.data());
            if (process) {
                agc.process(chunk.data(), std::int64_t(n));
            }
        }
        return std::pair{threadCpuSeconds() - cpuStart,
                         std::chrono::duration<double>(Clock::now() - start).count()};
    };
    const auto copying = pass(false);
    const auto total = pass(true);
    const double seconds = double(frames) / 48000;
    return {seconds / (total.first - copying.first), seconds / (total.second - copying.second)};
}

// CPU seconds (user + system) a shell command and its children take, or -1 when it fails.
double commandCpuSeconds(const std::string& command) {
    const pid_t pid = pellimar::testing::spawnChild({.argv = {"/bin/sh", "-c", command}});
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return -1;
    }
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Ours and ffmpeg's adaptive normalisers on the same 10 minutes of material, in one run.
// ffmpeg reads raw 16-bit stereo; its cost with a pass-through filter is subtracted, so what
// remains is the filter (with its sample format conversion).
void compareWithFfmpeg() {
    const std::size_t frames = 48000 * 600;
    const auto source = material(frames);
    const auto raw = std::filesystem::temp_directory_path() /
                     ("pellimar-agc-bench-" + std::to_string(::getpid()) + ".s16");
    {
        std::ofstream out(raw, std::ios::binary);
        out.write(reinterpret_cast<const char*>(source.data()),
                  std::streamsize(source.size() * sizeof(std::int16_t)));
    }
    // Each figure is the best of three runs: the least disturbed by other work on the machine,
    // which otherwise moves ffmpeg's difference of two runs by a third.
    constexpr int kRuns = 3;
    double ours = 0;
    for (int run = 0; run < kRuns; ++run) {
        ours = std::max(ours, agcRealTimeFactor(true, source).first);
    }
    auto ffmpeg = [&](const char* filter) {
        double best = -1;
        for (int run = 0; run < kRuns; ++run) {
            const double cpu = commandCpuSeconds(
                "ffmpeg -nostdin -hide_banner -loglevel error -threads 1 "
                "-filter_threads 1 -f s16le -ar 48000 -ac 2 -i '" +
                raw.string() + "' -af " + filter + " -f null -");
            if (cpu < 0) {
                return -1.0;
            }
            best = best < 0 ? cpu : std::min(best, cpu);
        }
        return best;
    };
    const double passThrough = ffmpeg("anull");
    std::printf("10 minutes of speech-like 48 kHz stereo, x real time per CPU second:\n");
    std::printf("  %-22s %8.0f\n", "ours (gain control)", ours);
    for (const char* filter : {"speechnorm", "dynaudnorm"}) {
        const double total = ffmpeg(filter);
        if (total < 0 || passThrough < 0 || total <= passThrough) {
            std::printf("  %-22s %8s\n", filter, "n/a (ffmpeg failed)");
        } else {
            std::printf("  %-22s %8.0f   (ffmpeg's read subtracted: %.2f s of %.2f s)\n", filter,
                        600 / (total - passThrough), passThrough, total);
        }
    }
    std::filesystem::remove(raw);
}

struct ProcessSample {
    double cpuSeconds = 0;
    long rssKb = 0;
    long hwmKb = 0;
};

ProcessSample sample(pid_t pid) {
    ProcessSample s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = text.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        std::vector<std::string> values;
        while (fields >> field) {
            values.push_back(field);
        }
        // After the command: state is field 3; utime and stime are fields 14 and 15.
        if (values.size() > 13) {
            s.cpuSeconds = double(std::stoll(values[11]) + std::stoll(values[12])) /
                           double(::sysconf(_SC_CLK_TCK));
        }
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            s.rssKb = std::stol(line.substr(6));
        } else if (line.rfind("VmHWM:", 0) == 0) {
            s.hwmKb = std::stol(line.substr(6));
        }
    }
    return s;
}

int measurePlayer(double measureSeconds) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("pellimar-player-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string input = (dir / "long.flac").string();
    const std::string make =
        "ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i "
        "'aevalsrc=0.3*sin(2*PI*440*t)|0.2*sin(2*PI*330*t):s=48000:d=600' -ac 2 -y '" +
        input + "'";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "cannot generate the input with ffmpeg\n");
        return 1;
    }
    ::setenv("PELLIMAR_AUDIO_SYSTEM", (dir / "world.json").c_str(), 1);
    const std::string config = (dir / "agc-config.json").string();
    const std::string status = (dir / "agc-status.json").string();
    ::setenv("PELLIMAR_AGC_CONFIG", config.c_str(), 1);
    ::setenv("PELLIMAR_AGC_STATUS", status.c_str(), 1);
    ::unsetenv("PELLIMAR_SIM_RECORD_DIR");

    const std::string program = std::string(PELLIMAR_BIN_DIR) + "/pellimar-player";
    pid_t pid = pellimar::testing::spawnChild(
        {.argv = {program, "--file", input}, .error = dir / "stderr.txt", .mode = 0644});
    if (pid < 0) {
        std::fprintf(stderr, "cannot start %s\n", program.c_str());
        return 1;
    }

    // Skip start-up (settling, prebuffering), then measure steady playback.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const ProcessSample before = sample(pid);
    const auto start = Clock::now();
    long peakRss = 0;
    while (Clock::now() - start < std::chrono::duration<double>(measureSeconds)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        peakRss = std::max(peakRss, sample(pid).rssKb);
    }
    const ProcessSample after = sample(pid);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();

    // How long a new configuration revision takes to show in the status file.
    std::vector<double> latencies;
    for (int revision = 1; revision <= 10; ++revision) {
        const std::string text =
            "{\"revision\":" + std::to_string(revision) +
            ",\"config\":{\"enabled\":true,\"targetRmsDb\":-20,\"maxBoostDb\":12,"
            "\"maxAttenuationDb\":24,\"windowMs\":3000,\"deadbandDb\":1,\"riseDbPerSecond\":1,"
            "\"fallDbPerSecond\":12,\"silenceDb\":-60,\"hysteresisDb\":3,\"holdMs\":1000,"
            "\"peakCeilingDb\":-1.5}}";
        std::ofstream(config + ".new") << text;
        const auto written = Clock::now();
        std::filesystem::rename(config + ".new", config);
        const std::string expected = "\"revision\":" + std::to_string(revision) + ",";
        while (Clock::now() - written < std::chrono::seconds(5)) {
            std::ifstream in(status);
            const std::string current((std::istreambuf_iterator<char>(in)), {});
            if (current.find(expected) != std::string::npos) {
                latencies.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - written).count());
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(137));
    }
    const int exitStatus = pellimar::testing::signalAndReap(pid, SIGTERM);

    std::printf("player while playing a 10-minute local file (%.0f s measured, ffmpeg excluded):\n",
                wall);
    std::printf("  cpu        %.2f %% of one core\n",
                100 * (after.cpuSeconds - before.cpuSeconds) / wall);
    std::printf("  rss        %.1f MB now, %.1f MB peak sampled, %.1f MB high-water mark\n",
                double(after.rssKb) / 1024, double(peakRss) / 1024, double(after.hwmKb) / 1024);
    std::printf("  exit       %d after SIGTERM\n",
                WIFEXITED(exitStatus) ? WEXITSTATUS(exitStatus) : -1);
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        std::printf("  agc config to status: median %.0f ms, worst %.0f ms (%zu of 10 seen)\n",
                    latencies[latencies.size() / 2], latencies.back(), latencies.size());
    }
    std::filesystem::remove_all(dir);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const double measureSeconds = argc > 1 ? std::atof(argv[1]) : 30;
    std::printf("gain control, one core, 4096-frame chunks of 48 kHz stereo:\n");
    for (const bool enabled : {true, false}) {
        const auto [perCpu, perWall] = agcRealTimeFactor(enabled, material(48000 * 120));
        std::printf("  %-9s  %.0f x real time per CPU second (%.0f x per wall second)\n",
                    enabled ? "enabled" : "disabled", perCpu, perWall);
    }
    compareWithFfmpeg();
    std::fflush(stdout);
    return measurePlayer(measureSeconds);
}
