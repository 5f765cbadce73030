// Where the world file lives, and what happens when it is missing, malformed or unusable.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/audio_system/audio_system.hpp"
#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "tests/platform/audio_system/temp_world.hpp"

namespace pellimar::audio {
namespace {

using testing::TempDir;

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

// Sets environment variables for one test and puts the old values back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

std::string openError(const std::string& path) {
    auto system = sim::SimAudioSystem::open(path);
    return system ? std::string("opened") : system.error();
}

TEST(SimWorldFile, BadFilesGiveClearErrors) {
    TempDir dir;
    writeFile(dir.world(), "{ this is not json");
    EXPECT_NE(openError(dir.world()).find("malformed world file"), std::string::npos)
        << openError(dir.world());
    EXPECT_NE(openError(dir.world()).find(dir.world()), std::string::npos);

    writeFile(dir.world(), "[1, 2, 3]");
    EXPECT_NE(openError(dir.world()).find("not an object"), std::string::npos);

    writeFile(dir.world(), R"({"nextObjectID": 10, "devices": [{"id": 2, "name": 5}]})");
    EXPECT_NE(openError(dir.world()).find("wrong shape in devices"), std::string::npos)
        << openError(dir.world());

    writeFile(dir.world(), R"({"nextObjectID": 3, "processes": [{"id": 7, "pid": 1}]})");
    EXPECT_NE(openError(dir.world()).find("nextObjectID"), std::string::npos);
    writeFile(dir.world(), R"({"nextObjectID": 9, "processes": [{"id": 7, "pid": 1}],
                               "taps": [{"id": 7, "uid": "u", "description": {"name": ""}}]})");
    EXPECT_NE(openError(dir.world()).find("used twice"), std::string::npos);

    EXPECT_NE(openError(dir.file("missing/audio-system.json")).find("world directory"),
              std::string::npos);
    writeFile(dir.file("plain"), "");
    EXPECT_NE(openError(dir.file("plain/audio-system.json")).find("not a directory"),
              std::string::npos);

    if (::geteuid() != 0) {  // root writes anywhere
        std::filesystem::create_directory(dir.file("locked"));
        ::chmod(dir.file("locked").c_str(), 0500);
        EXPECT_NE(openError(dir.file("locked/audio-system.json")).find("cannot"),
                  std::string::npos);
    }
}

// A hand-edited number no field can hold is an error naming the field, never a wrapped or
// undefined conversion (1e30 into a 32-bit field used to abort under the sanitizers).
TEST(SimWorldFile, NumbersOutOfRangeAreRefused) {
    const std::string device = R"("devices": [{"id": 2, "uid": "d", "name": "D", "streams": [
        {"id": 3, "scope": "output", "physicalFormat": {"sampleRate": 48000, "formatID": "lpcm",
         "channelsPerFrame": 2, "formatFlags": FLAGS}}]}])";
    auto parse = [&](const std::string& flags) {
        std::string text = device;
        text.replace(text.find("FLAGS"), 5, flags);
        return sim::parseWorld(R"({"nextObjectID": 10, )" + text + "}");
    };
    EXPECT_TRUE(parse("9"));
    EXPECT_TRUE(parse("9.0"));
    for (const char* bad : {"1e30", "-1e30", "-1", "4294967296", "2.5", "\"9\""}) {
        auto world = parse(bad);
        ASSERT_FALSE(world) << bad;
        EXPECT_NE(world.error().find("formatFlags"), std::string::npos) << world.error();
    }

    for (const char* bad : {R"({"nextObjectID": 1e30})", R"({"nextObjectID": -5})",
                            R"({"nextObjectID": 9, "processes": [{"id": 7, "pid": 1e300}]})",
                            R"({"nextObjectID": 9, "faults": [{"operation": "read",
                                "status": "!obj", "count": 3e9}]})",
                            R"({"nextObjectID": 9, "taps": [{"id": 7, "uid": "u",
                                "description": {"name": "", "processes": [1e20]}}]})"}) {
        EXPECT_FALSE(sim::parseWorld(bad)) << bad;
    }
    // What follows a NUL byte is not silently dropped.
    EXPECT_FALSE(sim::parseWorld(std::string("{\"nextObjectID\": 9}\0{", 22)));
}

TEST(SimWorldFile, FileGoingBadWhileRunningFailsCallsWithoutCrashing) {
    TempDir dir;
    auto system = sim::SimAudioSystem::open(dir.world());
    ASSERT_TRUE(system);
    std::uint32_t size = 0;
    AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices};
    ASSERT_EQ((*system)->getPropertyDataSize(1, devices, 0, nullptr, size), 0);

    writeFile(dir.world() + ".new", "garbage");
    std::filesystem::rename(dir.world() + ".new", dir.world());
    // A hand edit bypasses the writers' change counter; readers notice it within 0.1 s.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ((*system)->getPropertyDataSize(1, devices, 0, nullptr, size),
              kAudioHardwareUnspecifiedError);
    ObjectID tap = 0;
    EXPECT_EQ((*system)->createProcessTap(TapDescription{}, tap), kAudioHardwareUnspecifiedError);
    EXPECT_FALSE((*system)->hasProperty(1, devices));

    ASSERT_TRUE(sim::WorldBuilder::defaultMachine().write(dir.world()));
    EXPECT_EQ((*system)->getPropertyDataSize(1, devices, 0, nullptr, size), 0);
    EXPECT_EQ(size, 12u);
}

TEST(SimWorldFile, EnvironmentChoosesBackendAndPath) {
    TempDir dir;
    ScopedEnv world("PELLIMAR_AUDIO_SYSTEM", dir.world().c_str());
    {
        ScopedEnv backend("PELLIMAR_AUDIO_BACKEND", "pipewire-someday");
        auto system = openAudioSystem();
        ASSERT_FALSE(system);
        EXPECT_NE(system.error().find("pipewire-someday"), std::string::npos);
    }
    ScopedEnv backend("PELLIMAR_AUDIO_BACKEND", nullptr);
    auto system = openAudioSystem();
    ASSERT_TRUE(system) << system.error();
    EXPECT_TRUE((*system)->supportsProcessTaps());
    EXPECT_TRUE(std::filesystem::exists(dir.world()));
}

TEST(SimWorldFile, DefaultDirectoryIsPrivateAndMustBeOurs) {
    TempDir dir;
    ScopedEnv world("PELLIMAR_AUDIO_SYSTEM", nullptr);
    ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path().c_str());
    auto path = sim::worldPath();
    ASSERT_TRUE(path) << path.error();
    EXPECT_EQ(*path, dir.file("pellimar/audio-system.json"));
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("pellimar").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    auto system = openAudioSystem();
    ASSERT_TRUE(system) << system.error();

    // A loose mode on our own directory is tightened.
    ::chmod(dir.file("pellimar").c_str(), 0755);
    ASSERT_TRUE(sim::worldPath());
    ASSERT_EQ(::stat(dir.file("pellimar").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(dir.file("pellimar").c_str(), 12345, 12345), 0);
        auto refused = sim::worldPath();
        ASSERT_FALSE(refused);
        EXPECT_NE(refused.error().find("owned by uid 12345"), std::string::npos) << refused.error();
        auto opened = openAudioSystem();
        ASSERT_FALSE(opened);
        EXPECT_NE(opened.error().find("refusing"), std::string::npos);
    }

    // A symlink in place of the directory is refused too.
    std::filesystem::remove_all(dir.file("pellimar"));
    std::filesystem::create_directory(dir.file("elsewhere"));
    std::filesystem::create_directory_symlink(dir.file("elsewhere"), dir.file("pellimar"));
    EXPECT_FALSE(sim::worldPath());
}

TEST(SimWorldFile, WithoutRuntimeDirectoryUsesTmpPerUser) {
    ScopedEnv world("PELLIMAR_AUDIO_SYSTEM", nullptr);
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    auto path = sim::worldPath();
    ASSERT_TRUE(path) << path.error();
    EXPECT_EQ(*path, "/tmp/pellimar-" + std::to_string(::geteuid()) + "/audio-system.json");
}

TEST(SimWorldFile, BuilderWorldRoundTripsThroughTheFile) {
    TempDir dir;
    sim::WorldBuilder builder = sim::WorldBuilder::defaultMachine();
    auto usb = builder.addDevice(sim::Device::make("Odd", "odd", 3, 0));
    builder.device(usb).dataSources = {{5, std::nullopt}, {6, "Six"}};
    builder.device(usb).currentSource = 6;
    builder.addAggregate("Weird", "weird", Value("not a dictionary"), 0, 2);
    builder.addProcess(77, std::nullopt, false);
    TapDescription d;
    d.name = "Pellimar application slot 12";
    d.processes = {4, 5};
    d.mono = true;
    builder.addTap(d, "tap-uid");
    sim::Fault fault;
    fault.status = kAudio_ParamError;
    fault.count = -1;
    builder.addFault(fault);
    ASSERT_TRUE(builder.write(dir.world()));

    auto read = sim::WorldControl(dir.world()).read();
    ASSERT_TRUE(read) << read.error();
    EXPECT_EQ(sim::serializeWorld(*read), sim::serializeWorld(builder.world()));
    EXPECT_EQ(read->findTapByUID("tap-uid")->format.mChannelsPerFrame, 1u);
    EXPECT_EQ(read->findDeviceByUID("weird")->composition, Value("not a dictionary"));
    EXPECT_EQ(read->faults.at(0).status, kAudio_ParamError);
}

}  // namespace
}  // namespace pellimar::audio
