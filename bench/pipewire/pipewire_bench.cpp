// Figures for the PipeWire backend, on a private headless daemon it starts itself:
//   - a property read from the graph cache with 200 device nodes in the graph;
//   - an output queue's start to its first sample at the sink's monitor;
//   - the player's own CPU time on PipeWire beside the simulation, for the same file.
//
//   pipewire_bench [seconds-of-playback]   (default 10)

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/audio_queue/audio_queue.hpp"
#include "platform/device_queries/device_queries.hpp"
#include "platform/pipewire/audio_system.hpp"
#include "tests/support/pipewire_daemon.hpp"
#include "tests/support/pipewire_monitor.hpp"

namespace {

using namespace pellimar::audio;
using pellimar::testing::PipeWireDaemon;
using Clock = std::chrono::steady_clock;

void cacheReads(AudioSystem& system) {
    std::uint32_t size = 0;
    (void)system.getPropertyDataSize(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices}, 0,
                                     nullptr, size);
    std::vector<ObjectID> ids(size / 4);
    (void)system.getPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices}, 0,
                                 nullptr, size, ids.data());
    const int rounds = 200000;
    double sink = 0;
    auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        double rate = 0;
        std::uint32_t rateSize = sizeof rate;
        (void)system.getPropertyData(ids[std::size_t(i) % ids.size()],
                                     {kAudioDevicePropertyNominalSampleRate}, 0, nullptr, rateSize,
                                     &rate);
        sink += rate;
    }
    const double scalarNs =
        std::chrono::duration<double, std::nano>(Clock::now() - start).count() / rounds;
    start = Clock::now();
    std::size_t chars = 0;
    for (int i = 0; i < rounds; ++i) {
        std::optional<std::string> uid;
        (void)system.getStringProperty(ids[std::size_t(i) % ids.size()],
                                       {kAudioDevicePropertyDeviceUID}, uid);
        chars += uid ? uid->size() : 0;
    }
    const double textNs =
        std::chrono::duration<double, std::nano>(Clock::now() - start).count() / rounds;
    std::printf(
        "cache read, %zu devices in the graph: nominal rate %.0f ns, UID %.0f ns "
        "(target < 1000 ns)%s\n",
        ids.size(), scalarNs, textNs, sink > 0 && chars > 0 ? "" : " (reads failed)");
}

void queueLatency(pipewire::PipeWireAudioSystem& system) {
    pellimar::testing::MonitorRecorder probe(*system.graph(), "bench-speakers", 20);
    PipeWireDaemon::waitFor([&] { return probe.running(); });

    OutputQueueOptions options;
    options.format = packedPcmFormat(48000, 2, SampleType::float32);
    options.callback = [](OutputQueue&, AudioQueueBufferRef) {};
    options.bundleID = "org.pellimar.bench";
    auto queue = newOutputQueue(system, std::move(options));
    if (!queue) {
        std::printf("queue start to first sample: no queue (%d)\n", queue.error());
        return;
    }
    for (int i = 0; i < 4; ++i) {
        AudioQueueBufferRef b = nullptr;
        (void)(*queue)->allocateBuffer(4096 * 8, b);
        auto* s = static_cast<float*>(b->mAudioData);
        for (int n = 0; n < 4096 * 2; ++n) {
            s[n] = 0.5f;
        }
        b->mAudioDataByteSize = 4096 * 8;
        (void)(*queue)->enqueueBuffer(b);
    }
    // A queue's stream is linked while the queue is made; start only activates it.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    probe.arm();
    const auto started = Clock::now();
    (void)(*queue)->start();
    PipeWireDaemon::waitFor([&] { return probe.firstSoundNs() != 0; }, std::chrono::seconds(10));
    const double ms = probe.firstSoundNs() == 0
                          ? -1
                          : double(probe.firstSoundNs() - started.time_since_epoch().count()) / 1e6;
    std::printf(
        "queue start to first sample at the sink's monitor: %.1f ms "
        "(quantum 1024 frames = 21.3 ms; target < 2 quanta)\n",
        ms);
    queue->reset();
}

// The player's own CPU seconds (threads included, ffmpeg not) for one playback.
double playerCpu(const std::string& file, const std::string& backend, const std::string& world) {
    const std::string log = world + ".log";
    pid_t pid = PipeWireDaemon::spawn(
        {"/usr/bin/env", "PELLIMAR_AUDIO_BACKEND=" + backend, "PELLIMAR_AUDIO_SYSTEM=" + world,
         PELLIMAR_BIN_DIR "/pellimar-player", "--file", file},
        log);
    double cpu = 0;
    const double tick = double(::sysconf(_SC_CLK_TCK));
    for (;;) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const auto close = text.rfind(')');
        if (close != std::string::npos) {
            std::istringstream fields(text.substr(close + 2));
            std::string field;
            double utime = 0, stime = 0;
            for (int i = 3; i <= 15 && fields >> field; ++i) {
                if (i == 14) {
                    utime = std::stod(field);
                } else if (i == 15) {
                    stime = std::stod(field);
                }
            }
            cpu = std::max(cpu, (utime + stime) / tick);
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return cpu;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    PipeWireDaemon daemon;
    if (!daemon.error().empty()) {
        std::fprintf(stderr, "%s\n", daemon.error().c_str());
        return 1;
    }
    PipeWireDaemon::createNullNode("bench-speakers", "Bench speakers", "Audio/Sink", 2);
    PipeWireDaemon::run(
        "pw-metadata -n default 0 default.configured.audio.sink "
        "'{ \"name\": \"bench-speakers\" }' Spa:String:JSON >/dev/null");
    for (int i = 0; i < 199; ++i) {
        PipeWireDaemon::createNullNode("bench-node-" + std::to_string(i), "Bench node",
                                       "Audio/Sink", 2);
    }
    auto opened = pipewire::PipeWireAudioSystem::open();
    if (!opened) {
        std::fprintf(stderr, "%s\n", opened.error().c_str());
        return 1;
    }
    auto& system = **opened;
    PipeWireDaemon::waitFor([&] {
        std::uint32_t size = 0;
        (void)system.getPropertyDataSize(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices},
                                         0, nullptr, size);
        return size / 4 >= 200;
    });
    cacheReads(system);
    queueLatency(system);

    const std::string file = daemon.file("bench-tone.wav");
    PipeWireDaemon::run("sox -n -r 48000 -c 2 -b 16 '" + file + "' synth " +
                        std::to_string(seconds) + " sine 1000 vol 0.5");
    const double sim = playerCpu(file, "sim", daemon.file("world.json"));
    const double pw = playerCpu(file, "pipewire", daemon.file("pw"));
    std::printf(
        "player CPU for %d s of playback: sim %.2f s (%.2f %%), PipeWire %.2f s (%.2f %%)\n",
        seconds, sim, 100 * sim / seconds, pw, 100 * pw / seconds);
    return 0;
}
