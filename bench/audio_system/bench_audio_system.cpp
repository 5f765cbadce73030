// Figures for the simulated audio system: cached property reads, a full process inventory, a
// mutation and a reload, on a world of 500 simulated application processes.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"

using namespace pellimar::audio;
using Clock = std::chrono::steady_clock;

namespace {

double microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// One inventory pass as the capture program makes it: the list, then PID, bundle ID, running.
bool inventory(AudioSystem& system, std::vector<ObjectID>& ids) {
    std::uint32_t size = 0;
    if (system.getPropertyDataSize(1, {kAudioHardwarePropertyProcessObjectList}, 0, nullptr,
                                   size) != 0) {
        return false;
    }
    ids.assign(size / 4, 0);
    if (system.getPropertyData(1, {kAudioHardwarePropertyProcessObjectList}, 0, nullptr, size,
                               ids.data()) != 0) {
        return false;
    }
    for (ObjectID id : ids) {
        std::int32_t pid = 0;
        std::uint32_t running = 0, four = 4;
        std::optional<std::string> bundle;
        if (system.getPropertyData(id, {kAudioProcessPropertyPID}, 0, nullptr, four, &pid) != 0 ||
            system.getStringProperty(id, {kAudioProcessPropertyBundleID}, bundle) != 0 ||
            system.getPropertyData(id, {kAudioProcessPropertyIsRunning}, 0, nullptr, four,
                                   &running) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main() {
    std::string dirPattern =
        (std::filesystem::temp_directory_path() / "pellimar-bench-XXXXXX").string();
    std::string dir = ::mkdtemp(dirPattern.data());
    std::string path = dir + "/audio-system.json";

    sim::WorldBuilder builder = sim::WorldBuilder::defaultMachine();
    for (int i = 0; i < 500; ++i) {
        builder.addProcess(20000 + i, "com.example.app" + std::to_string(i), i % 3 == 0);
    }
    for (int i = 1; i <= 8; ++i) {
        TapDescription d;
        d.name = "Pellimar application slot " + std::to_string(i);
        builder.addTap(d);
    }
    if (!builder.write(path)) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    auto opened = sim::SimAudioSystem::open(path);
    if (!opened) {
        std::fprintf(stderr, "%s\n", opened.error().c_str());
        return 1;
    }
    auto& system = **opened;
    std::vector<ObjectID> ids;
    inventory(system, ids);
    ObjectID process = ids.at(250);

    const int reads = 200000;
    auto start = Clock::now();
    for (int i = 0; i < reads; ++i) {
        std::int32_t pid = 0;
        std::uint32_t size = 4;
        system.getPropertyData(process, {kAudioProcessPropertyPID}, 0, nullptr, size, &pid);
    }
    std::printf("property read, unchanged world of 500 processes: %.2f us (target: a few us)\n",
                microseconds(Clock::now() - start) / reads);

    const int passes = 100;
    start = Clock::now();
    for (int i = 0; i < passes; ++i) {
        inventory(system, ids);
    }
    std::printf(
        "inventory of %zu processes (list + PID, bundle ID, running): %.3f ms "
        "(target < 5 ms)\n",
        ids.size(), microseconds(Clock::now() - start) / passes / 1000);

    const int mutations = 50;
    start = Clock::now();
    for (int i = 0; i < mutations; ++i) {
        ObjectID tap = 0;
        system.createProcessTap(TapDescription{}, tap);
    }
    std::printf("mutation (create a tap, locked rewrite with fsync): %.3f ms\n",
                microseconds(Clock::now() - start) / mutations / 1000);

    sim::WorldControl control(path);
    const int reloads = 20;
    Clock::duration total{};
    for (int i = 0; i < reloads; ++i) {
        (void)control.setRunning(process, i % 2 == 0);
        auto t = Clock::now();
        std::int32_t pid = 0;
        std::uint32_t size = 4;
        system.getPropertyData(process, {kAudioProcessPropertyPID}, 0, nullptr, size, &pid);
        total += Clock::now() - t;
    }
    std::printf("first read after another process changed the world (reload): %.3f ms\n",
                microseconds(total) / reloads / 1000);

    std::filesystem::remove_all(dir);
    return 0;
}
