// Announcement player figures on a private PipeWire daemon with WirePlumber (the built programs,
// as the controller runs them):
//   play latency   "play" to the first clip sample at the sink's monitor, 200 plays, at forced
//                  quanta of 256 and 1024 frames
//   idle CPU       the service's warm output with nothing to play, at quantum 256
//   xruns          a tone through our stream (the service's warm output, then pellimar-player) and
//                  through pw-play on a sink of its own, under stress-ng --cpu 2: the
//                  discontinuities each sink heard
// Usage: announcement_pipewire_bench [plays (200)] [idle-seconds (60)] [stress-seconds (60)]

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/support/process_cpu.hpp"
#include "platform/pipewire/graph.hpp"
#include "tests/support/pipewire_continuity.hpp"
#include "tests/support/pipewire_daemon.hpp"
#include "tests/support/pipewire_monitor.hpp"
#include "tests/support/pipewire_tap.hpp"

using namespace pellimar;
using namespace pellimar::testing;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

std::int64_t steadyNs() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

// The controller's end of the control socket.
class Controller {
  public:
    explicit Controller(const std::string& path) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        ::unlink(path.c_str());
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 1);
    }
    ~Controller() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        ::close(listener_);
    }
    bool accept() {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0) {
            return false;
        }
        fd_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return fd_ >= 0;
    }
    void send(const json& command) {
        const std::string line = command.dump() + "\n";
        [[maybe_unused]] const ssize_t n = ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL);
    }
    // The next event, or null after 30 s or at the end of the stream.
    json event() {
        for (;;) {
            if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
                const std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return json::parse(line, nullptr, false);
            }
            pollfd p{fd_, POLLIN, 0};
            char chunk[4096];
            if (::poll(&p, 1, 30000) <= 0) {
                return {};
            }
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n <= 0) {
                return {};
            }
            buffer_.append(chunk, std::size_t(n));
        }
    }
    // Waits for an event of this name; false when another or none came.
    bool expect(const char* name) { return event().value("event", "") == name; }
    void close() {
        ::close(fd_);
        fd_ = -1;
    }

  private:
    int listener_ = -1;
    int fd_ = -1;
    std::string buffer_;
};

// The service, started and ready, with a slot tap listing it.
struct Service {
    Service(PipeWireDaemon& daemon, audio::pipewire::Graph& graph, const std::string& name)
        : controller(daemon.file(name + ".sock")) {
        pid = PipeWireDaemon::spawn({PELLIMAR_BIN_DIR "/pellimar-announcement-player",
                                     "--service-socket", daemon.file(name + ".sock")},
                                    daemon.file(name + ".log"));
        tap = std::make_unique<SlotTapFor>(graph, pid, "bench-tap-" + name);
        ready = controller.accept() && controller.expect("hello") && controller.expect("ready");
    }
    ~Service() {
        controller.close();
        PipeWireDaemon::signalAndReap(pid, 0);
    }
    bool play(const std::string& clip, int n) {
        controller.send({{"command", "load"}, {"id", "c" + std::to_string(n)}, {"filePath", clip}});
        if (!controller.expect("loaded")) {
            return false;
        }
        controller.send({{"command", "play"},
                         {"id", "p" + std::to_string(n)},
                         {"clip", "c" + std::to_string(n)}});
        return controller.expect("playing");
    }

    Controller controller;
    pid_t pid = -1;
    std::unique_ptr<SlotTapFor> tap;
    bool ready = false;
};

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

void latency(PipeWireDaemon& daemon, audio::pipewire::Graph& graph, const std::string& clip,
             int quantum, int plays) {
    forceGraphClock({quantum, 48000});
    Service service(daemon, graph, "latency" + std::to_string(quantum));
    MonitorRecorder recorder(graph, "speakers", 1);
    PipeWireDaemon::waitFor([&] { return recorder.running(); });
    if (!service.ready) {
        std::printf("latency at quantum %d: the service did not start\n", quantum);
        return;
    }
    std::mt19937 random(7);
    std::vector<double> ms;
    for (int n = 0; n < plays; ++n) {
        // "completed" comes once the clip is in the output, before its end is heard: the last
        // one has played out by now. Then a random point of the graph's cycle.
        std::this_thread::sleep_for(std::chrono::microseconds(150000 + random() % 30000));
        service.controller.send({{"command", "load"}, {"id", "c"}, {"filePath", clip}});
        if (!service.controller.expect("loaded")) {
            break;
        }
        recorder.arm();
        const std::int64_t sent = steadyNs();
        service.controller.send({{"command", "play"}, {"id", "p"}, {"clip", "c"}});
        if (!service.controller.expect("playing") || !service.controller.expect("completed") ||
            !PipeWireDaemon::waitFor([&] { return recorder.firstSoundNs() != 0; }, 5s)) {
            break;
        }
        ms.push_back(double(recorder.firstSoundNs() - sent) / 1e6);
    }
    std::printf(
        "play to first sample at the monitor, quantum %d (%.1f ms, graph ran %llu): %zu plays, "
        "p50 %.1f ms, max %.1f ms (target p50 <= %.1f ms)\n",
        quantum, quantum / 48.0, (unsigned long long)recorder.graphQuantum(), ms.size(),
        percentile(ms, 0.5), ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()),
        quantum / 48.0 + 10.7);
}

void idleCpu(PipeWireDaemon& daemon, audio::pipewire::Graph& graph, int seconds) {
    forceGraphClock({256, 48000});
    Service service(daemon, graph, "idle");
    if (!service.ready) {
        std::printf("idle CPU: the service did not start\n");
        return;
    }
    std::this_thread::sleep_for(1s);
    const double before = pellimar::bench::cpuSecondsOf(service.pid);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("idle warm output at quantum 256: %.2f %% of a core over %d s (target < 1 %%)\n",
                100 * (pellimar::bench::cpuSecondsOf(service.pid) - before) / wall, seconds);
}

// Discontinuities in a recorded tone: silent runs and jumps, each counted once per 10 ms.
int discontinuities(const std::vector<float>& stereo) {
    const ToneContinuity tone = judgeTone(stereo, 1000);
    return tone.found ? tone.breaks : -1;
}

void xruns(PipeWireDaemon& daemon, audio::pipewire::Graph& graph, int seconds, int quantum,
           bool service) {
    forceGraphClock({quantum, 48000});
    const std::string tone = daemon.file("stress-tone.wav");
    PipeWireDaemon::run("sox -n -r 48000 -c 2 -b 16 '" + tone + "' synth " +
                        std::to_string(seconds + 4) + " sine 1000 vol 0.5");
    MonitorRecorder ours(graph, "speakers", seconds + 10);
    MonitorRecorder theirs(graph, "speakers-b", seconds + 10);
    PipeWireDaemon::waitFor([&] { return ours.running() && theirs.running(); });
    std::unique_ptr<Service> announcements;
    pid_t player = -1;
    if (service) {
        announcements = std::make_unique<Service>(daemon, graph, "stress");
        if (!announcements->ready || !announcements->play(tone, 1)) {
            std::printf("xruns: the service did not play\n");
            return;
        }
    } else {
        player = PipeWireDaemon::spawn({PELLIMAR_BIN_DIR "/pellimar-player", "--file", tone},
                                       daemon.file("stress-player.log"));
    }
    pid_t reference = PipeWireDaemon::spawn({"/usr/bin/pw-play", "--target", "speakers-b", tone},
                                            daemon.file("pw-play.log"));
    std::this_thread::sleep_for(1s);
    pid_t stress = PipeWireDaemon::spawn(
        {"/usr/bin/stress-ng", "--cpu", "2", "--timeout", std::to_string(seconds) + "s"},
        daemon.file("stress.log"));
    int status = 0;
    ::waitpid(stress, &status, 0);
    std::this_thread::sleep_for(4s);
    const int oursCount = discontinuities(ours.stop());
    const int theirsCount = discontinuities(theirs.stop());
    PipeWireDaemon::signalAndReap(reference, SIGTERM);
    PipeWireDaemon::signalAndReap(player, SIGTERM);
    announcements.reset();
    std::printf(
        "xruns heard under stress-ng --cpu 2 for %d s at quantum %d: %s %d, pw-play %d "
        "(target: no more than pw-play)\n",
        seconds, quantum, service ? "announcement service" : "pellimar-player", oursCount,
        theirsCount);
}

}  // namespace

int main(int argc, char** argv) {
    const int plays = argc > 1 ? std::atoi(argv[1]) : 200;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 60;
    const int stressSeconds = argc > 3 ? std::atoi(argv[3]) : 60;
    PipeWireDaemon daemon;
    if (!daemon.error().empty()) {
        std::fprintf(stderr, "%s\n", daemon.error().c_str());
        return 1;
    }
    PipeWireDaemon::createNullNode("speakers", "Speakers", "Audio/Sink", 2);
    PipeWireDaemon::createNullNode("speakers-b", "Other speakers", "Audio/Sink", 2);
    PipeWireDaemon::run(
        "pw-metadata -n default 0 default.configured.audio.sink '{ \"name\": \"speakers\" }' "
        "Spa:String:JSON >/dev/null");
    ::setenv("PELLIMAR_AUDIO_BACKEND", "pipewire", 1);
    auto graph = audio::pipewire::Graph::connect();
    if (!graph) {
        std::fprintf(stderr, "%s\n", graph.error().c_str());
        return 1;
    }
    const std::string clip = daemon.file("clip.wav");
    PipeWireDaemon::run("sox -n -r 48000 -c 2 -b 16 '" + clip + "' synth 0.05 sine 1000 vol 0.5");
    for (int quantum : {256, 1024}) {
        latency(daemon, **graph, clip, quantum, plays);
    }
    if (idleSeconds > 0) {
        idleCpu(daemon, **graph, idleSeconds);
    }
    if (stressSeconds > 0) {
        for (bool service : {true, false}) {
            xruns(daemon, **graph, stressSeconds, 256, service);
        }
    }
    return 0;
}
