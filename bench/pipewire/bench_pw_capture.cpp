// Figures for the capture program's work on a private PipeWire with WirePlumber: from the start of
// a capture (taps and device made) to the first sample of a playing application recorded from the
// capture device; from the first sample of an application that starts during a capture to its
// first sample in the capture device, at quanta 256 and 1024; the CPU of a running capture with
// four slots at quantum 256; and a capture refresh (inventory and re-aim) with 200 client streams
// in the graph.

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <sstream>
#include <thread>

#include "bench/support/process_cpu.hpp"
#include "platform/audio_system/audio_system.hpp"
#include "process_tap/process_inventory.hpp"
#include "process_tap/tap_runtime.hpp"
#include "tests/support/pipewire_daemon.hpp"

using namespace pellimar;
using Clock = std::chrono::steady_clock;
using pellimar::testing::PipeWireDaemon;

namespace {

double milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Streams of our own on a thread loop: one recorder, or many silent players.
class Streams {
  public:
    explicit Streams(const char* applicationID = nullptr) {
        loop_ = pw_thread_loop_new("bench", nullptr);
        context_ = pw_context_new(
            pw_thread_loop_get_loop(loop_),
            applicationID ? pw_properties_new(PW_KEY_APP_ID, applicationID, nullptr) : nullptr, 0);
        pw_thread_loop_start(loop_);
        pw_thread_loop_lock(loop_);
        core_ = pw_context_connect(context_, nullptr, 0);
        pw_thread_loop_unlock(loop_);
    }
    ~Streams() {
        pw_thread_loop_lock(loop_);
        for (auto* s : streams_) {
            pw_stream_destroy(s);
        }
        pw_core_disconnect(core_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        pw_context_destroy(context_);
        pw_thread_loop_destroy(loop_);
    }

    // Records `channels` from the node named `target`; `firstSound` is set at the first sample
    // that is not silence.
    void record(const std::string& target, std::uint32_t channels) {
        add(PW_DIRECTION_INPUT, channels,
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                              PW_KEY_TARGET_OBJECT, target.c_str(), nullptr));
    }
    void play() {
        add(PW_DIRECTION_OUTPUT, 2,
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                              nullptr));
    }
    // A stream that plays a square wave from its first buffer on; `firstSound` is when that
    // buffer was filled.
    void tone() {
        loud_ = true;
        play();
    }

    std::atomic<bool> heard{false};
    Clock::time_point firstSound;

  private:
    struct Entry {
        spa_hook hook{};
        Streams* self = nullptr;
        pw_stream* stream = nullptr;
    };

    static void onProcess(void* data) {
        auto* entry = static_cast<Entry*>(data);
        Streams* self = entry->self;
        {
            pw_buffer* b = pw_stream_dequeue_buffer(entry->stream);
            if (!b) {
                return;
            }
            spa_data& d = b->buffer->datas[0];
            if (d.data && !self->heard && d.chunk && !self->loud_) {
                const auto* samples = static_cast<const float*>(d.data);
                for (std::uint32_t i = 0; i < d.chunk->size / sizeof(float); ++i) {
                    if (samples[i] > 0.01f || samples[i] < -0.01f) {
                        self->firstSound = Clock::now();
                        self->heard = true;
                        break;
                    }
                }
            } else if (d.data && d.chunk && d.maxsize > 0) {
                d.chunk->offset = 0;
                d.chunk->stride = 8;
                d.chunk->size = std::min<std::uint32_t>(d.maxsize, 1024 * 8);
                std::memset(d.data, 0, d.chunk->size);
                if (self->loud_) {
                    auto* samples = static_cast<float*>(d.data);
                    for (std::uint32_t i = 0; i < d.chunk->size / sizeof(float); ++i) {
                        samples[i] = (i / 48) % 2 ? 0.5f : -0.5f;
                    }
                    if (!self->heard) {
                        self->firstSound = Clock::now();
                        self->heard = true;
                    }
                }
            }
            pw_stream_queue_buffer(entry->stream, b);
        }
    }

    void add(pw_direction direction, std::uint32_t channels, pw_properties* props) {
        static const pw_stream_events kEvents = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = onProcess;
            return e;
        }();
        pw_thread_loop_lock(loop_);
        pw_stream* stream = pw_stream_new(core_, "bench", props);
        Entry& entry = entries_.emplace_back();
        entry.self = this;
        entry.stream = stream;
        pw_stream_add_listener(stream, &entry.hook, &kEvents, &entry);
        std::uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.channels = channels;
        info.rate = 48000;
        const spa_pod* params[] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        pw_stream_connect(stream, direction, PW_ID_ANY,
                          pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                          params, 1);
        streams_.push_back(stream);
        pw_thread_loop_unlock(loop_);
    }

    bool loud_ = false;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    std::vector<pw_stream*> streams_;
    std::list<Entry> entries_;
};

}  // namespace

// The application of the join measurement, in a process of its own: plays until killed and
// prints, once, the steady-clock time of its first sample in nanoseconds.
int runApplication() {
    pw_init(nullptr, nullptr);
    Streams app("org.pellimarbench.late");
    app.tone();
    while (!app.heard) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("%lld\n", static_cast<long long>(app.firstSound.time_since_epoch().count()));
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}

void forceQuantum(int frames) {
    PipeWireDaemon::run("pw-metadata -n settings 0 clock.force-quantum " + std::to_string(frames) +
                        " >/dev/null");
}

// From an application's first sample to its first sample in the capture device, for an
// application that starts while the capture runs.
void joinLatency(PipeWireDaemon& daemon, const std::string& self, int quantum) {
    forceQuantum(quantum);
    std::vector<double> figures;
    for (int run = 0; run < 10; ++run) {
        // The program itself, which follows new processes as they appear.
        const std::string out = daemon.file("join.out");
        pid_t capture = PipeWireDaemon::spawn(
            {"/bin/sh", "-c",
             "exec " + std::string(PELLIMAR_BIN_DIR) +
                 "/pellimar-process-tap run org.pellimarbench.late org.nobody > '" + out + "'"},
            daemon.file("join.log"));
        PipeWireDaemon::waitFor([&] {
            std::ifstream in(out);
            std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            return text.find("\"ok\" : true") != std::string::npos;
        });
        // The recorder must read the capture device, not the default source the session manager
        // gives it while the new device is not yet ready for links.
        std::unique_ptr<Streams> recorder;
        for (int attempt = 0; attempt < 10; ++attempt) {
            recorder = std::make_unique<Streams>();
            recorder->record("org.pellimar.application-capture", 4);
            if (PipeWireDaemon::waitFor(
                    [] {
                        return PipeWireDaemon::run(
                            "pw-link -l | grep -A1 '^bench-pw-capture:input_FL' "
                            "| grep -q 'org.pellimar.application-capture'");
                    },
                    std::chrono::seconds(2))) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (recorder->heard) {
            std::printf("  (something else was heard first: this figure is void)\n");
        }
        FILE* app = ::popen(("exec '" + self + "' --application").c_str(), "r");
        long long first = 0;
        if (!app || std::fscanf(app, "%lld", &first) != 1) {
            std::printf("  the application did not start\n");
            return;
        }
        PipeWireDaemon::waitFor([&] { return recorder->heard.load(); });
        const Clock::time_point appFirst{Clock::duration(first)};
        figures.push_back(milliseconds(recorder->firstSound - appFirst));
        PipeWireDaemon::run("pkill -f -- '--application'");
        ::pclose(app);
        PipeWireDaemon::signalAndReap(capture, SIGTERM);
    }
    std::sort(figures.begin(), figures.end());
    std::printf("  quantum %d (%.1f ms): median %.1f ms, max %.1f ms over %zu starts\n", quantum,
                quantum / 48.0, figures[figures.size() / 2], figures.back(), figures.size());
}

void captureCpu(PipeWireDaemon& daemon) {
    forceQuantum(256);
    std::vector<pid_t> apps;
    std::string patterns;
    for (int slot = 1; slot <= 4; ++slot) {
        const std::string name = "org.pellimarbench.slot" + std::to_string(slot);
        std::filesystem::copy_file("/usr/bin/pw-cat", daemon.file(name));
        apps.push_back(
            PipeWireDaemon::spawn({daemon.file(name), "--playback", daemon.file("tone.wav")},
                                  daemon.file(name + ".log")));
        patterns += " " + name;
    }
    pid_t capture = PipeWireDaemon::spawn(
        {"/bin/sh", "-c",
         "exec " + std::string(PELLIMAR_BIN_DIR) + "/pellimar-process-tap run" + patterns},
        daemon.file("cpu-capture.log"));
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double before = pellimar::bench::cpuSecondsOf(capture);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(20));
    const double used = pellimar::bench::cpuSecondsOf(capture) - before;
    std::printf("  %.2f %% of a core over %.0f s (4 slots, 4 applications, quantum 256)\n",
                100 * used / (milliseconds(Clock::now() - t0) / 1000),
                milliseconds(Clock::now() - t0) / 1000);
    PipeWireDaemon::signalAndReap(capture, SIGTERM);
    for (pid_t& app : apps) {
        PipeWireDaemon::signalAndReap(app, SIGTERM);
    }
    forceQuantum(0);
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--application") == 0) {
        return runApplication();
    }
    if (!PipeWireDaemon::installed()) {
        std::printf("PipeWire is not installed\n");
        return 1;
    }
    pw_init(nullptr, nullptr);
    PipeWireDaemon daemon;
    if (!daemon.error().empty()) {
        std::printf("%s\n", daemon.error().c_str());
        return 1;
    }
    PipeWireDaemon::createNullNode("speakers", "Speakers", "Audio/Sink", 2);
    const std::string app = daemon.file("org.pellimarbench.tone");
    std::filesystem::copy_file("/usr/bin/pw-cat", app);
    PipeWireDaemon::run("sox -n -r 48000 -c 2 -b 16 '" + daemon.file("tone.wav") +
                        "' synth 120 sine 1000 vol 0.5");
    pid_t player = PipeWireDaemon::spawn({app, "--playback", daemon.file("tone.wav")},
                                         daemon.file("tone.log"));
    PipeWireDaemon::waitFor([] {
        return PipeWireDaemon::run("pw-link -l | grep -q 'org.pellimarbench.tone:output_FL'");
    });
    ::setenv("PELLIMAR_AUDIO_BACKEND", "pipewire", 1);
    auto system = audio::openAudioSystem();
    if (!system) {
        std::printf("%s\n", system.error().c_str());
        return 1;
    }

    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("capture start to first captured sample (one slot + announcement slot):\n");
    for (int run = 0; run < 3; ++run) {
        const auto t0 = Clock::now();
        process_tap::TapRuntime runtime(**system, {"org.pellimarbench.tone", "org.nobody"},
                                        std::nullopt);
        auto inventory = process_tap::processes(**system);
        if (!inventory || !runtime.start(*inventory)) {
            std::printf("  start failed\n");
            break;
        }
        const auto t1 = Clock::now();
        Streams recorder;
        recorder.record("org.pellimar.application-capture", 4);
        PipeWireDaemon::waitFor([&] { return recorder.heard.load(); });
        std::printf("  start %.1f ms, then first sample after %.1f ms (total %.1f ms)\n",
                    milliseconds(t1 - t0), milliseconds(recorder.firstSound - t1),
                    milliseconds(recorder.firstSound - t0));
    }

    std::printf("an application that starts during a capture, its first sample to the capture:\n");
    joinLatency(daemon, std::filesystem::canonical("/proc/self/exe"), 256);
    joinLatency(daemon, std::filesystem::canonical("/proc/self/exe"), 1024);
    forceQuantum(0);
    std::printf("CPU of a running capture:\n");
    captureCpu(daemon);

    std::printf("capture refresh with 200 client streams:\n");
    {
        process_tap::TapRuntime runtime(**system, {"bench-pw-capture", "org.nobody"}, std::nullopt);
        auto inventory = process_tap::processes(**system);
        if (!inventory || !runtime.start(*inventory)) {
            std::printf("  start failed\n");
            return 1;
        }
        Streams players;
        const auto made = Clock::now();
        for (int i = 0; i < 200; ++i) {
            players.play();
        }
        const bool moved = PipeWireDaemon::waitFor(
            [] {
                return PipeWireDaemon::run(
                    "test $(pw-metadata 2>/dev/null | grep -c target.object) -ge 200");
            },
            std::chrono::seconds(60));
        std::printf("  200 streams aimed at their slot %.0f ms after they were made%s\n",
                    milliseconds(Clock::now() - made), moved ? "" : " (not all)");
        const int refreshes = 20;
        const auto start = Clock::now();
        for (int i = 0; i < refreshes; ++i) {
            if (auto now = process_tap::processes(**system)) {
                runtime.update(*now);
            }
        }
        std::printf("  refresh (inventory + update) %.2f ms on average over %d\n",
                    milliseconds(Clock::now() - start) / refreshes, refreshes);
    }
    PipeWireDaemon::signalAndReap(player, SIGTERM);
    return 0;
}
