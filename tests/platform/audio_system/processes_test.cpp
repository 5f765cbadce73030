// Several processes sharing one world: atomic mutations, crash safety, fresh reads, live
// process objects.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "platform/sim/world_store.hpp"
#include "tests/platform/audio_system/temp_world.hpp"

namespace pellimar::audio {
namespace {

using testing::TempDir;

const AudioObjectPropertyAddress kProcesses{kAudioHardwarePropertyProcessObjectList};

std::vector<ObjectID> list(AudioSystem& system, const AudioObjectPropertyAddress& address) {
    std::uint32_t size = 0;
    if (system.getPropertyDataSize(1, address, 0, nullptr, size) != 0) {
        return {};
    }
    std::vector<ObjectID> ids(size / 4);
    EXPECT_EQ(system.getPropertyData(1, address, 0, nullptr, size, ids.data()), 0);
    return ids;
}

bool contains(const std::vector<ObjectID>& ids, ObjectID id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Runs `body` in a child process; the child exits 0 when body returns true.
pid_t spawn(const std::function<bool()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body() ? 0 : 1);
    }
    return pid;
}

int waitExit(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

template <typename Predicate>
bool eventually(Predicate predicate) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return predicate();
}

TEST(SimProcesses, ConcurrentCreatorsNeverLoseObjects) {
    TempDir dir;
    ASSERT_TRUE(sim::WorldBuilder::defaultMachine().write(dir.world()));
    std::vector<pid_t> children;
    for (int c = 0; c < 4; ++c) {
        children.push_back(spawn([&, c] {
            auto system = sim::SimAudioSystem::open(dir.world());
            if (!system) {
                return false;
            }
            for (int i = 0; i < 200; ++i) {
                TapDescription d;
                d.name = "creator " + std::to_string(c) + " tap " + std::to_string(i);
                ObjectID tap = 0;
                if ((*system)->createProcessTap(d, tap) != 0 || tap == 0) {
                    return false;
                }
            }
            return true;
        }));
    }
    for (pid_t child : children) {
        EXPECT_EQ(waitExit(child), 0);
    }
    auto world = sim::WorldControl(dir.world()).read();
    ASSERT_TRUE(world) << world.error();
    ASSERT_EQ(world->taps.size(), 800u);
    std::set<ObjectID> ids;
    std::set<std::string> names;
    for (const auto& t : world->taps) {
        ids.insert(t.id);
        names.insert(t.description.name);
        EXPECT_LT(t.id, world->nextObjectID);
    }
    EXPECT_EQ(ids.size(), 800u);
    EXPECT_EQ(names.size(), 800u);
}

TEST(SimProcesses, WriterKilledMidWriteLeavesAReadableWorld) {
    TempDir dir;
    sim::WorldBuilder builder;
    for (int i = 0; i < 3000; ++i) {  // a large file, so that a write takes a while
        builder.addProcess(100000 + i, "com.example.app" + std::to_string(i), i % 2 == 0);
    }
    ASSERT_TRUE(builder.write(dir.world()));
    for (int round = 0; round < 5; ++round) {
        pid_t writer = spawn([&] {
            auto system = sim::SimAudioSystem::open(dir.world());
            for (;;) {
                ObjectID tap = 0;
                (*system)->createProcessTap(TapDescription{}, tap);
            }
            return true;
        });
        auto reader = sim::SimAudioSystem::open(dir.world());
        ASSERT_TRUE(reader);
        // Readers never see a partial file while the writer runs.
        for (int i = 0; i < 20; ++i) {
            std::uint32_t size = 0;
            ASSERT_EQ((*reader)->getPropertyDataSize(1, kProcesses, 0, nullptr, size), 0);
            ASSERT_EQ(size, 3000u * 4);
            std::this_thread::sleep_for(std::chrono::milliseconds(1 + round));
        }
        ::kill(writer, SIGKILL);
        EXPECT_EQ(waitExit(writer), 128 + SIGKILL);

        auto after = sim::WorldControl(dir.world()).read();
        ASSERT_TRUE(after) << after.error();
        EXPECT_EQ(after->processes.size(), 3000u);
        auto reopened = sim::SimAudioSystem::open(dir.world());
        ASSERT_TRUE(reopened) << reopened.error();
    }
    // Opening cleared what the killed writers left half-written.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos)
            << entry.path();
    }
}

TEST(SimProcesses, DeletingTheLockFileLosesNoWrites) {
    TempDir dir;
    ASSERT_TRUE(sim::WorldBuilder::defaultMachine().write(dir.world()));
    std::vector<pid_t> children;
    for (int c = 0; c < 4; ++c) {
        children.push_back(spawn([&, c] {
            // Each writer keeps its lock file open across mutations, as programs do.
            auto store = sim::WorldStore::open(dir.world(), false);
            for (int i = 0; store && i < 100; ++i) {
                auto r = (*store)->mutate([&](sim::World& w) {
                    sim::Process p;
                    p.id = w.allocateID();
                    p.pid = 10000 * (c + 1) + i;
                    w.processes.push_back(p);
                    return true;
                });
                if (!r) {
                    std::fprintf(stderr, "%s\n", r.error().c_str());
                    return false;
                }
            }
            return bool(store);
        }));
    }
    std::vector<int> statuses(children.size(), -1);
    for (std::size_t left = children.size(); left > 0;) {
        ::unlink((dir.world() + ".lock").c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        for (std::size_t c = 0; c < children.size(); ++c) {
            if (statuses[c] < 0 && ::waitpid(children[c], &statuses[c], WNOHANG) == 0) {
                statuses[c] = -1;
            } else if (statuses[c] >= 0 && children[c] != 0) {
                children[c] = 0;
                --left;
            }
        }
    }
    for (int status : statuses) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto world = sim::WorldControl(dir.world()).read();
    ASSERT_TRUE(world) << world.error();
    EXPECT_EQ(world->processes.size(), 400u);
}

TEST(SimProcesses, StartUpLeavesAWriterInFlightAlone) {
    TempDir dir;
    ASSERT_TRUE(sim::WorldBuilder::defaultMachine().write(dir.world()));
    const std::string inFlight = dir.file(".audio-system.json.tmp-Ab12Cd");
    const std::string dead = dir.file(".audio-system.json.tmp-Ef34Gh");
    std::ofstream(dead) << "{";
    int fd = ::open(inFlight.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    ASSERT_TRUE(sim::SimAudioSystem::open(dir.world()));
    EXPECT_TRUE(std::filesystem::exists(inFlight));
    EXPECT_FALSE(std::filesystem::exists(dead));
    ::close(fd);
    ASSERT_TRUE(sim::SimAudioSystem::open(dir.world()));
    EXPECT_FALSE(std::filesystem::exists(inFlight));
}

TEST(SimProcesses, ReadsAreNeverOlderThanACompletedWrite) {
    TempDir dir;
    sim::WorldBuilder builder;
    auto mic = builder.addInputDevice("Mic", "mic", 1);
    builder.device(mic).dataSources = {{1001, "A"}, {1002, "B"}};
    builder.device(mic).currentSource = 1001;
    ASSERT_TRUE(builder.write(dir.world()));
    auto reader = sim::SimAudioSystem::open(dir.world());
    ASSERT_TRUE(reader);

    int toParent[2], toChild[2];
    ASSERT_EQ(::pipe(toParent), 0);
    ASSERT_EQ(::pipe(toChild), 0);
    // The writer flips the source (same file size every time) as fast as the reader checks.
    pid_t writer = spawn([&] {
        auto system = sim::SimAudioSystem::open(dir.world());
        AudioObjectPropertyAddress source{kAudioDevicePropertyDataSource,
                                          kAudioObjectPropertyScopeInput};
        for (std::uint32_t i = 0; i < 300; ++i) {
            std::uint32_t value = 1001 + (i % 2 == 0 ? 1 : 0);
            if ((*system)->setPropertyData(mic, source, 0, nullptr, 4, &value) != 0) {
                return false;
            }
            if (::write(toParent[1], &value, 4) != 4 || ::read(toChild[0], &value, 4) != 4) {
                return false;
            }
        }
        return true;
    });
    AudioObjectPropertyAddress source{kAudioDevicePropertyDataSource,
                                      kAudioObjectPropertyScopeInput};
    for (int i = 0; i < 300; ++i) {
        std::uint32_t expected = 0;
        ASSERT_EQ(::read(toParent[0], &expected, 4), 4);
        std::uint32_t current = 0, size = 4;
        ASSERT_EQ((*reader)->getPropertyData(mic, source, 0, nullptr, size, &current), 0);
        ASSERT_EQ(current, expected) << "step " << i;
        ASSERT_EQ(::write(toChild[1], &expected, 4), 4);
    }
    EXPECT_EQ(waitExit(writer), 0);
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) {
        ::close(fd);
    }
}

TEST(SimProcesses, RegisteredProcessIsListedUntilItGoes) {
    TempDir dir;
    auto system = sim::SimAudioSystem::open(dir.world());
    ASSERT_TRUE(system);
    {
        auto registration = (*system)->registerProcess("org.pellimar.player.4");
        ASSERT_TRUE(registration) << registration.error();
        ObjectID me = (*registration)->objectID();
        auto other = sim::SimAudioSystem::open(dir.world());
        EXPECT_TRUE(contains(list(**other, kProcesses), me));
        std::optional<std::string> bundle;
        EXPECT_EQ((*other)->getStringProperty(me, {kAudioProcessPropertyBundleID}, bundle), 0);
        EXPECT_EQ(bundle, "org.pellimar.player.4");
        std::int32_t pid = 0;
        std::uint32_t running = 7, size = 4;
        EXPECT_EQ((*other)->getPropertyData(me, {kAudioProcessPropertyPID}, 0, nullptr, size, &pid),
                  0);
        EXPECT_EQ(pid, ::getpid());
        EXPECT_EQ((*other)->getPropertyData(me, {kAudioProcessPropertyIsRunning}, 0, nullptr, size,
                                            &running),
                  0);
        EXPECT_EQ(running, 0u);
        (*registration)->setRunning(true);
        EXPECT_EQ((*other)->getPropertyData(me, {kAudioProcessPropertyIsRunning}, 0, nullptr, size,
                                            &running),
                  0);
        EXPECT_EQ(running, 1u);
    }
    EXPECT_TRUE(list(**system, kProcesses).empty());
}

TEST(SimProcesses, KilledRegisteredProcessDisappearsAtTheNextRead) {
    TempDir dir;
    sim::WorldBuilder builder;
    auto simulated = builder.addProcess(999999, "com.apple.Safari", true);  // no such pid: kept
    ASSERT_TRUE(builder.write(dir.world()));
    auto system = sim::SimAudioSystem::open(dir.world());
    ASSERT_TRUE(system);

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = spawn([&] {
        auto own = sim::SimAudioSystem::open(dir.world());
        auto registration = (*own)->registerProcess("org.pellimar.announcement-player");
        ObjectID id = registration ? (*registration)->objectID() : 0;
        if (::write(ready[1], &id, 4) != 4) {
            return false;
        }
        ::pause();
        return true;
    });
    ObjectID registered = 0;
    ASSERT_EQ(::read(ready[0], &registered, 4), 4);
    ASSERT_NE(registered, 0u);
    EXPECT_TRUE(contains(list(**system, kProcesses), registered));
    std::int32_t pid = 0;
    std::uint32_t size = 4;
    EXPECT_EQ(
        (*system)->getPropertyData(registered, {kAudioProcessPropertyPID}, 0, nullptr, size, &pid),
        0);
    EXPECT_EQ(pid, child);

    ::kill(child, SIGKILL);
    EXPECT_EQ(waitExit(child), 128 + SIGKILL);
    auto now = list(**system, kProcesses);
    EXPECT_FALSE(contains(now, registered));
    EXPECT_TRUE(contains(now, simulated));
    size = 4;
    EXPECT_EQ(
        (*system)->getPropertyData(registered, {kAudioProcessPropertyPID}, 0, nullptr, size, &pid),
        kAudioHardwareBadObjectError);
    // Still in the file until the next mutation removes it for good.
    auto stored = sim::WorldControl(dir.world()).read();
    EXPECT_NE(stored->findProcess(registered), nullptr);
    ObjectID tap = 0;
    ASSERT_EQ((*system)->createProcessTap(TapDescription{}, tap), 0);
    stored = sim::WorldControl(dir.world()).read();
    EXPECT_EQ(stored->findProcess(registered), nullptr);
    EXPECT_NE(stored->findProcess(simulated), nullptr);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(SimProcesses, LiveEntryWithAReusedPidIsNotListed) {
    TempDir dir;
    ASSERT_TRUE(sim::WorldBuilder().write(dir.world()));
    ObjectID stale = 0;
    ASSERT_TRUE(sim::WorldControl(dir.world()).update([&](sim::World& w) {
        sim::Process p;
        p.id = stale = w.allocateID();
        p.pid = ::getpid();  // alive, but started at another time than recorded
        p.kind = sim::ProcessKind::live;
        p.startTime = 1;
        w.processes.push_back(p);
    }));
    auto system = sim::SimAudioSystem::open(dir.world());
    EXPECT_FALSE(contains(list(**system, kProcesses), stale));
}

}  // namespace
}  // namespace pellimar::audio
