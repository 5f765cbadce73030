// The world's files under abuse: a lock file truncated, linked or held, a full disk, a FIFO in
// place of the world, hostile nesting, an exhausted ID counter.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <limits>

#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "platform/sim/world_store.hpp"
#include "tests/platform/audio_system/temp_world.hpp"

namespace pellimar::audio {
namespace {

using testing::TempDir;

const AudioObjectPropertyAddress kProcesses{kAudioHardwarePropertyProcessObjectList};

std::uint32_t processListSize(AudioSystem& system) {
    std::uint32_t size = 0;
    EXPECT_EQ(system.getPropertyDataSize(1, kProcesses, 0, nullptr, size), 0);
    return size;
}

// Runs `call` on another thread; false when it has not finished within a generous limit.
template <typename Call>
bool finishes(
    Call call, const std::function<void()>& unblock = [] {}) {
    auto done = std::async(std::launch::async, call);
    if (done.wait_for(std::chrono::seconds(20)) == std::future_status::ready) {
        return true;
    }
    unblock();
    done.wait();
    return false;
}

TEST(SimWorldStore, TruncatedLockFileCrashesNobody) {
    TempDir dir;
    auto system = sim::SimAudioSystem::open(dir.world()).value();
    sim::WorldControl control(dir.world());
    ASSERT_TRUE(control.addProcess(1234, "a", true));
    std::uint32_t before = processListSize(*system);
    ASSERT_EQ(::truncate((dir.world() + ".lock").c_str(), 0), 0);
    EXPECT_EQ(processListSize(*system), before);
    ASSERT_TRUE(control.addProcess(1235, "b", true));
    EXPECT_EQ(processListSize(*system), before + 4);
    ASSERT_EQ(::truncate((dir.world() + ".lock").c_str(), 0), 0);
    ObjectID tap = 0;
    EXPECT_EQ(system->createProcessTap(TapDescription{}, tap), 0);
}

TEST(SimWorldStore, FullDiskIsAnErrorNotACrash) {
    TempDir dir;
    pid_t child = ::fork();
    if (child == 0) {
        // A private mount of a one-page file system, filled up.
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=4k") != 0) {
            ::_exit(77);
        }
        { std::ofstream(dir.file("filler")) << std::string(65536, 'x'); }
        auto system = sim::SimAudioSystem::open(dir.world());
        ::_exit(!system && system.error().find("No space left") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status)) : "");
}

TEST(SimWorldStore, FifoAtTheWorldPathIsRefused) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.world().c_str(), 0600), 0);
    std::string error;
    EXPECT_TRUE(finishes(
        [&] {
            auto system = sim::SimAudioSystem::open(dir.world());
            error = system ? "opened" : system.error();
        },
        [&] { ::close(::open(dir.world().c_str(), O_WRONLY | O_NONBLOCK)); }));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

TEST(SimWorldStore, LockFileMustBeOursAndUnshared) {
    TempDir dir;
    ASSERT_TRUE(sim::WorldBuilder::defaultMachine().write(dir.world()));
    std::filesystem::remove(dir.world() + ".lock");
    const std::string precious = dir.file("precious");
    std::ofstream(precious) << "keep these bytes";
    std::filesystem::create_hard_link(precious, dir.world() + ".lock");
    auto system = sim::SimAudioSystem::open(dir.world());
    ASSERT_FALSE(system);
    EXPECT_NE(system.error().find("one link"), std::string::npos) << system.error();
    EXPECT_FALSE(sim::WorldControl(dir.world()).addProcess(1, "x", false));
    std::ifstream in(precious);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "keep these bytes");
    struct stat st {};
    ASSERT_EQ(::stat(precious.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 16);
}

TEST(SimWorldStore, ReadersDoNotWaitForWritersAndWritersGiveUp) {
    TempDir dir;
    ASSERT_TRUE(sim::WorldBuilder::defaultMachine().write(dir.world()));
    // A stopped writer: the lock held and never released.
    int held = ::open((dir.world() + ".lock").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    bool read = false;
    EXPECT_TRUE(finishes(
        [&] {
            auto system = sim::SimAudioSystem::open(dir.world());
            read = system && processListSize(**system) == 0;
        },
        [&] { ::flock(held, LOCK_UN); }));
    EXPECT_TRUE(read);

    auto store = sim::WorldStore::open(dir.world(), false);
    ASSERT_TRUE(store) << store.error();
    (*store)->setLockTimeout(std::chrono::milliseconds(300));
    auto wrote = (*store)->mutate([](sim::World& w) {
        w.supportsProcessTaps = false;
        return true;
    });
    ASSERT_FALSE(wrote);
    EXPECT_NE(wrote.error().find("held the lock"), std::string::npos) << wrote.error();
    ::close(held);
    EXPECT_TRUE((*store)->mutate([](sim::World& w) {
        w.supportsProcessTaps = false;
        return true;
    }));
}

TEST(SimWorldStore, IDsRunOutInsteadOfWrapping) {
    TempDir dir;
    sim::WorldControl control(dir.world());
    ASSERT_TRUE(control.update(
        [](sim::World& w) { w.nextObjectID = std::numeric_limits<std::uint32_t>::max() - 1; }));
    auto last = control.addProcess(7, "last", false);
    ASSERT_TRUE(last) << last.error();
    EXPECT_EQ(*last, std::numeric_limits<std::uint32_t>::max() - 1);
    auto none = control.addProcess(8, "none", false);
    ASSERT_FALSE(none);
    EXPECT_NE(none.error().find("no object IDs left"), std::string::npos) << none.error();
    auto system = sim::SimAudioSystem::open(dir.world()).value();
    ObjectID tap = 0;
    EXPECT_NE(system->createProcessTap(TapDescription{}, tap), 0);
    auto world = control.read();
    ASSERT_TRUE(world) << world.error();
    EXPECT_EQ(world->processes.size(), 1u);
}

TEST(SimWorldStore, DeepNestingIsRefusedWithoutOverflowingTheStack) {
    TempDir dir;
    std::string text = sim::serializeWorld(sim::defaultWorld());
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    text.replace(text.find("\"id\": 2,"), 8, "\"id\": 2, \"composition\": " + deep + ",");
    std::ofstream(dir.world()) << text;
    auto system = sim::SimAudioSystem::open(dir.world());
    ASSERT_FALSE(system);
    EXPECT_NE(system.error().find("nested deeper than"), std::string::npos) << system.error();
    // Ordinary nesting in a composition is fine.
    text = sim::serializeWorld(sim::defaultWorld());
    text.replace(text.find("\"id\": 2,"), 8, "\"id\": 2, \"composition\": [[[{\"a\": [[1]]}]]],");
    std::ofstream(dir.world()) << text;
    EXPECT_TRUE(sim::SimAudioSystem::open(dir.world()));

    // A description handed in by a program or the tool is refused before it is stored: once in
    // the file it would be printed recursively, and no reader could open the world again.
    Value description = {{"name", "Deep"}, {"uid", "deep"}};
    description["subdevices"] = Value::parse(deep);  // moved in: a copy would recurse
    auto running = sim::SimAudioSystem::open(dir.world()).value();
    ObjectID device = 0;
    EXPECT_EQ(running->createAggregateDevice(description, device), kAudio_ParamError);
    auto added = sim::WorldControl(dir.world()).addAggregate(description);
    ASSERT_FALSE(added);
    EXPECT_NE(added.error().find("nested deeper than"), std::string::npos) << added.error();
    EXPECT_TRUE(sim::SimAudioSystem::open(dir.world()));
}

}  // namespace
}  // namespace pellimar::audio
