// Runs the real program against a simulated audio system of its own.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sim/world.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/journal_stream.hpp"

namespace pellimar::process_tap {
namespace {

namespace fs = std::filesystem;
namespace sim = audio::sim;
using audio::ObjectID;
using nlohmann::json;

constexpr const char* kProgram = PELLIMAR_BIN_DIR "/pellimar-process-tap";
constexpr auto kPatience = std::chrono::seconds(60);

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// Polls until `done` holds; false after a generous deadline.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

class Program {
  public:
    // `closed` lists standard descriptors the program starts without.
    Program(const fs::path& dir, const std::string& world, const std::vector<std::string>& args,
            int index, const std::vector<int>& closed = {},
            const std::vector<std::string>& environment = {})
        : out_(dir / ("stdout" + std::to_string(index))),
          err_(dir / ("stderr" + std::to_string(index))) {
        std::vector<std::string> argv = {kProgram};
        argv.insert(argv.end(), args.begin(), args.end());
        // Signals blocked or ignored in the test runner must not leak into the program.
        const pid_t pid = testing::spawnChild(
            {.argv = argv,
             .environment = testing::environmentWith(
                 testing::withEntries({{"PELLIMAR_AUDIO_SYSTEM", world}}, environment),
                 "PELLIMAR_AUDIO_SYSTEM="),
             .input = "/dev/null",
             .output = out_,
             .error = err_,
             .closed = closed,
             .defaultSignals = true});
        spawned_ = pid > 0;
        pid_ = spawned_ ? pid : 0;
    }
    ~Program() {
        if (spawned_ && !reaped_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }

    std::string out() const { return readFile(out_); }
    std::string err() const { return readFile(err_); }

    // Waits for the JSON document of a started run (or for the program to end), then for its
    // signal handling: until then SIGINT and SIGTERM end it at once, as they should.
    bool started() {
        return eventually([&] { return out().ends_with("\n}\n") || exited(); }) && !exited() &&
               eventually([&] { return catchesStopSignals() || exited(); }) && !exited();
    }
    // Started and catching its stop signals, for a run whose standard output is not seen.
    bool handlingStopSignals() {
        return eventually([&] { return catchesStopSignals() || exited(); }) && !exited();
    }
    json document() const { return json::parse(out()); }
    pid_t pid() const { return pid_; }

    void signal(int number) const { ::kill(pid_, number); }
    // Sends the signals in turn, again and again, until the program has ended; its status.
    int signalUntilExit(const std::vector<int>& numbers) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (std::size_t i = 0; !exited(); ++i) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                wait();
                return -1;
            }
            signal(numbers[i % numbers.size()]);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return status_;
    }
    // The exit status, or 128 + signal.
    int wait() {
        if (!reaped_) {
            reaped_ = true;
            status_ = testing::exitCode(*testing::waitChild(pid_));
        }
        return status_;
    }

  private:
    bool catchesStopSignals() const {
        std::istringstream status(readFile("/proc/" + std::to_string(pid_) + "/status"));
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("SigCgt:")) {
                const auto caught = std::stoull(line.substr(7), nullptr, 16);
                const auto wanted = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1));
                return (caught & wanted) == wanted;
            }
        }
        return false;
    }
    bool exited() {
        if (reaped_) {
            return true;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            status_ = testing::exitCode(status);
        }
        return reaped_;
    }

    fs::path out_, err_;
    pid_t pid_ = 0;
    bool spawned_ = false;
    bool reaped_ = false;
    int status_ = -1;
};

class ProcessTapProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "process-tap-e2e-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        worldPath_ = (dir_ / "audio-system.json").string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    void writeWorld() { ASSERT_TRUE(builder.write(worldPath_)); }
    std::unique_ptr<Program> start(const std::vector<std::string>& args,
                                   const std::vector<int>& closed = {}) {
        return std::make_unique<Program>(dir_, worldPath_, args, runs_++, closed, environment);
    }
    // The next `count` re-aims of the second slot's tap fail; that tap.
    ObjectID failUpdatesOfSecondSlot(const Program& run, int count) {
        const ObjectID tap = run.document()["slots"][1]["tapObjectID"];
        EXPECT_TRUE(control().injectFault({.operation = sim::FaultOperation::write,
                                           .object = tap,
                                           .selector = audio::kAudioTapPropertyDescription,
                                           .status = -50,
                                           .count = count}));
        return tap;
    }
    // What the next program's standard error is taken for the journal with.
    std::string journalStream() {
        return "JOURNAL_STREAM=" +
               testing::journalStreamFor((dir_ / ("stderr" + std::to_string(runs_))).string());
    }
    // Runs to completion.
    struct Outcome {
        int status;
        std::string out, err;
    };
    Outcome runToEnd(const std::vector<std::string>& args) {
        auto program = start(args);
        const int status = program->wait();
        return {status, program->out(), program->err()};
    }
    sim::World world() {
        auto now = sim::WorldControl(worldPath_).read();
        EXPECT_TRUE(now) << (now ? "" : now.error());
        return now ? std::move(*now) : sim::World();
    }
    sim::WorldControl control() { return sim::WorldControl(worldPath_); }

    std::vector<ObjectID> tapProcesses(ObjectID tap) {
        const auto w = world();
        const auto* found = w.findTap(tap);
        return found ? found->description.processes : std::vector<ObjectID>{999999};
    }
    // Taps and devices this program makes, still in the world.
    std::size_t leftovers() {
        const auto w = world();
        std::size_t count = w.tapsNamedWithPrefix("Pellimar ").size();
        for (const auto& device : w.devices) {
            count += device.uid == "org.pellimar.application-capture" ? 1 : 0;
        }
        return count;
    }
    std::string worldStamp() {
        struct stat s {};
        ::stat(worldPath_.c_str(), &s);
        return std::to_string(s.st_ino) + ":" + std::to_string(s.st_mtim.tv_sec) + "." +
               std::to_string(s.st_mtim.tv_nsec) + ":" + std::to_string(s.st_size);
    }

    sim::WorldBuilder builder;
    // Added to the programs' environment, ahead of the test's own.
    std::vector<std::string> environment;
    fs::path dir_;
    std::string worldPath_;
    int runs_ = 0;
};

TEST_F(ProcessTapProgram, ListPrintsTheInventoryAndNoArgumentMeansList) {
    const ObjectID music = builder.addProcess(501, "com.apple.Music", true);
    const ObjectID daemon = builder.addProcess(502, std::nullopt, false);
    writeWorld();
    const std::string expected =
        "[\n  {\n    \"bundleID\" : \"com.apple.Music\",\n"
        "    \"objectID\" : " +
        std::to_string(music) +
        ",\n"
        "    \"pid\" : 501,\n    \"running\" : true\n  },\n"
        "  {\n    \"bundleID\" : \"\",\n"
        "    \"objectID\" : " +
        std::to_string(daemon) +
        ",\n"
        "    \"pid\" : 502,\n    \"running\" : false\n  }\n]\n";
    for (const auto& args : {std::vector<std::string>{"list"}, std::vector<std::string>{}}) {
        const auto outcome = runToEnd(args);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, expected);
        EXPECT_EQ(outcome.err, "");
    }
}

TEST_F(ProcessTapProgram, ProcessWithUnreadableBundleIDIsSkippedWithItsLogLine) {
    builder.addProcess(501, "com.apple.Music", true);
    const ObjectID broken = builder.addProcess(502, "com.apple.Safari", true);
    builder.addFault({.operation = sim::FaultOperation::read,
                      .object = broken,
                      .selector = audio::kAudioProcessPropertyBundleID,
                      .status = audio::kAudioHardwareBadObjectError,
                      .count = -1});
    writeWorld();
    const auto outcome = runToEnd({"list"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "[process-tap] Ignoring process object " + std::to_string(broken) +
                               ": Read string property 1885497700 failed (OSStatus 560947818, "
                               "fourCC !obj).\n");
    const auto listed = json::parse(outcome.out);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["pid"], 501);
}

TEST_F(ProcessTapProgram, CommandLineErrorsAfterTheInventory) {
    writeWorld();
    auto outcome = runToEnd({"play"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err,
              "[process-tap] Usage: pellimar-process-tap list | run "
              "[--live-input-name NAME] [slot-bundle-id ...]\n");
    outcome = runToEnd({"run", "com.apple.Music", "--live-input-name"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "[process-tap] Missing value for --live-input-name\n");
    EXPECT_EQ(leftovers(), 0u);

    ASSERT_TRUE(control().injectFault({.operation = sim::FaultOperation::sizeQuery,
                                       .object = audio::kAudioObjectSystemObject,
                                       .selector = audio::kAudioHardwarePropertyProcessObjectList,
                                       .status = -50,
                                       .count = -1}));
    outcome = runToEnd({"play"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err,
              "[process-tap] Read object-list size failed (OSStatus -50, fourCC ----).\n");
}

TEST_F(ProcessTapProgram, RunWithDefaultsBuildsFourSlotsAndSigtermRemovesEverything) {
    const ObjectID chrome = builder.addProcess(601, "com.google.Chrome", true);
    const ObjectID helper = builder.addProcess(602, "com.google.Chrome.helper", true);
    builder.addProcess(603, "com.google.ChromeBeta", true);
    const ObjectID music = builder.addProcess(604, "com.apple.Music", false);
    writeWorld();
    auto run = start({"run"});
    ASSERT_TRUE(run->started()) << run->err();
    const auto info = run->document();
    EXPECT_EQ(info["ok"], true);
    EXPECT_EQ(info["aggregateName"], "Pellimar Application Capture");
    EXPECT_EQ(info["aggregateUID"], "org.pellimar.application-capture");
    EXPECT_EQ(info["channels"], 8);
    EXPECT_EQ(info["applicationChannels"], 6);
    EXPECT_EQ(info["liveInputChannels"], 0);
    EXPECT_EQ(info["announcementChannels"], 2);
    EXPECT_EQ(info["sampleRate"], 48000);
    EXPECT_FALSE(info.contains("liveInputName"));
    EXPECT_FALSE(info.contains("liveInputUID"));
    ASSERT_EQ(info["slots"].size(), 4u);
    const std::vector<std::string> patterns = {"com.google.Chrome", "com.apple.Safari",
                                               "org.videolan.vlc", "com.apple.Music"};
    const std::vector<std::vector<ObjectID>> expected = {{chrome, helper}, {}, {}, {music}};
    const auto w = world();
    const auto* device = w.findDeviceByUID("org.pellimar.application-capture");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->id, info["aggregateObjectID"]);
    EXPECT_EQ(device->name, "Pellimar Application Capture");
    EXPECT_EQ(device->channels(sim::StreamScope::input), 8u);
    for (std::size_t i = 0; i < 4; ++i) {
        const auto& slot = info["slots"][i];
        EXPECT_EQ(slot["slot"], i + 1);
        EXPECT_EQ(slot["bundleID"], patterns[i]);
        std::vector<ObjectID> captured;
        for (const auto& p : slot["processes"]) {
            captured.push_back(p["objectID"]);
        }
        EXPECT_EQ(captured, expected[i]);
        const auto* tap = w.findTap(slot["tapObjectID"]);
        ASSERT_NE(tap, nullptr);
        EXPECT_EQ(tap->description.name, "Pellimar application slot " + std::to_string(i + 1));
        EXPECT_EQ(tap->description.processes, expected[i]);
        EXPECT_EQ(device->composition->at("taps")[i]["uid"], tap->uid);
    }
    EXPECT_EQ(run->err(), "");

    run->signal(SIGTERM);
    EXPECT_EQ(run->wait(), 0);
    EXPECT_EQ(leftovers(), 0u);
    EXPECT_EQ(run->err(), "");
}

TEST_F(ProcessTapProgram, OnePatternIsTheAnnouncementSlotAndSigintStops) {
    builder.addProcess(601, "org.pellimar.announcement-player", true);
    writeWorld();
    auto run = start({"run", "org.pellimar.announcement-player"});
    ASSERT_TRUE(run->started()) << run->err();
    const auto info = run->document();
    EXPECT_EQ(info["applicationChannels"], 0);
    EXPECT_EQ(info["channels"], 2);
    ASSERT_EQ(info["slots"].size(), 1u);
    EXPECT_EQ(info["slots"][0]["slot"], 1);
    EXPECT_EQ(info["slots"][0]["processes"].size(), 1u);
    EXPECT_EQ(world().findTap(info["slots"][0]["tapObjectID"])->description.name,
              "Pellimar application slot 1");
    run->signal(SIGINT);
    EXPECT_EQ(run->wait(), 0);
    EXPECT_EQ(leftovers(), 0u);
}

TEST_F(ProcessTapProgram, RepeatedStopSignalsStillEndWithStatusZero) {
    writeWorld();
    for (int attempt = 0; attempt < 6; ++attempt) {
        SCOPED_TRACE(attempt);
        auto run = start({"run", "a", "b"});
        ASSERT_TRUE(run->started()) << run->err();
        // A controller that repeats its signal: every one of them may land during the stop or
        // after it, right up to the exit.
        const int first = attempt % 2 ? SIGINT : SIGTERM;
        EXPECT_EQ(run->signalUntilExit({first, first == SIGINT ? SIGTERM : SIGINT}), 0);
        EXPECT_EQ(leftovers(), 0u);
    }
}

TEST_F(ProcessTapProgram, StartedWithStandardDescriptorsClosedTheyLeadToTheNullDevice) {
    builder.addProcess(501, "a", true);
    writeWorld();
    auto run = start({"run", "a", "b"}, {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO});
    ASSERT_TRUE(run->handlingStopSignals());
    for (int fd = 0; fd <= 2; ++fd) {
        std::error_code error;
        const auto target = fs::read_symlink(
            "/proc/" + std::to_string(run->pid()) + "/fd/" + std::to_string(fd), error);
        EXPECT_EQ(target.string(), "/dev/null") << "descriptor " << fd;
    }
    EXPECT_EQ(leftovers(), 3u);
    run->signal(SIGTERM);
    EXPECT_EQ(run->wait(), 0);
    EXPECT_EQ(leftovers(), 0u);
}

TEST_F(ProcessTapProgram, MonoLiveInputIsPaddedAndStereoIsNot) {
    builder.addInputDevice("USB Mic", "uid-usb-mic", 1);
    builder.addInputDevice("Duo", "uid-duo", 2);
    writeWorld();
    {
        auto run = start({"run", "--live-input-name", "  USB Mic ", "a", "b"});
        ASSERT_TRUE(run->started()) << run->err();
        EXPECT_EQ(run->err(),
                  "[process-tap] Padding 1ch live '  USB Mic ' to 2ch with silent mono tap.\n");
        const auto info = run->document();
        EXPECT_EQ(info["liveInputName"], "  USB Mic ");
        EXPECT_EQ(info["liveInputUID"], "uid-usb-mic");
        EXPECT_EQ(info["liveInputChannels"], 2);
        EXPECT_EQ(info["channels"], 6);
        const auto w = world();
        const auto* device = w.findDeviceByUID("org.pellimar.application-capture");
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->channels(sim::StreamScope::input), 6u);
        EXPECT_EQ(device->composition->at("master"), "uid-usb-mic");
        const auto pads = w.tapsNamedWithPrefix("Pellimar live channel pad");
        ASSERT_EQ(pads.size(), 1u);
        EXPECT_TRUE(pads[0]->description.mono);
        EXPECT_EQ(device->composition->at("taps")[0]["uid"], pads[0]->uid);
        run->signal(SIGTERM);
        EXPECT_EQ(run->wait(), 0);
        EXPECT_EQ(leftovers(), 0u);
    }
    {
        auto run = start({"run", "--live-input-name", "\tDuo\n", "a", "b"});
        ASSERT_TRUE(run->started()) << run->err();
        EXPECT_EQ(run->err(), "");
        const auto info = run->document();
        EXPECT_EQ(info["liveInputName"], "\tDuo\n");
        EXPECT_EQ(info["liveInputChannels"], 2);
        EXPECT_EQ(world().tapsNamedWithPrefix("Pellimar live channel pad").size(), 0u);
        run->signal(SIGTERM);
        EXPECT_EQ(run->wait(), 0);
    }
    {
        auto run = start({"run", "--live-input-name", "Nobody", "a"});
        ASSERT_TRUE(run->started()) << run->err();
        EXPECT_FALSE(run->document().contains("liveInputName"));
        EXPECT_EQ(run->document()["liveInputChannels"], 0);
        run->signal(SIGTERM);
        EXPECT_EQ(run->wait(), 0);
    }
    EXPECT_EQ(leftovers(), 0u);
}

TEST_F(ProcessTapProgram, TapsFollowApplicationsAsTheyStartAndQuit) {
    const ObjectID chrome = builder.addProcess(601, "com.google.Chrome", true);
    builder.addProcess(602, "com.apple.Music", true);
    writeWorld();
    auto run = start({"run", "com.google.Chrome|com.apple.Safari", "com.apple.Music"});
    ASSERT_TRUE(run->started()) << run->err();
    const ObjectID browserTap = run->document()["slots"][0]["tapObjectID"];
    EXPECT_EQ(tapProcesses(browserTap), std::vector<ObjectID>{chrome});

    auto safari = control().addProcess(603, "com.apple.Safari", true);
    ASSERT_TRUE(safari);
    EXPECT_TRUE(eventually([&] {
        return tapProcesses(browserTap) == std::vector<ObjectID>{chrome, *safari};
    }));
    ASSERT_TRUE(control().removeProcess(chrome));
    EXPECT_TRUE(
        eventually([&] { return tapProcesses(browserTap) == std::vector<ObjectID>{*safari}; }));

    // With nothing changing, refreshes leave the world file alone.
    const std::string before = worldStamp();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(worldStamp(), before);
    EXPECT_EQ(run->err(), "");
    run->signal(SIGTERM);
    EXPECT_EQ(run->wait(), 0);
}

TEST_F(ProcessTapProgram, FailingDescriptionUpdateIsRetriedAtEachRefresh) {
    writeWorld();
    auto run = start({"run", "a", "b", "c"});
    ASSERT_TRUE(run->started()) << run->err();
    const ObjectID tap = failUpdatesOfSecondSlot(*run, 3);
    auto b = control().addProcess(701, "b", true);
    ASSERT_TRUE(b);
    EXPECT_TRUE(eventually([&] { return tapProcesses(tap) == std::vector<ObjectID>{*b}; }));
    EXPECT_EQ(run->err(),
              "[process-tap] Update slot 2 failed (-50); retrying.\n"
              "[process-tap] Update slot 2 failed (-50); retrying.\n"
              "[process-tap] Update slot 2 failed (-50); retrying.\n");
    run->signal(SIGTERM);
    EXPECT_EQ(run->wait(), 0);
}

TEST_F(ProcessTapProgram, KilledRunIsRecoveredByTheNextStart) {
    builder.addInputDevice("Mono Mic", "uid-mono", 1);
    writeWorld();
    {
        auto killed = start({"run", "--live-input-name", "Mono Mic", "a", "b", "c", "d"});
        ASSERT_TRUE(killed->started()) << killed->err();
        killed->signal(SIGKILL);
        killed->wait();
    }
    ASSERT_EQ(leftovers(), 6u);
    auto run = start({"run", "--live-input-name", "Mono Mic", "a", "b", "c", "d"});
    ASSERT_TRUE(run->started()) << run->err();
    EXPECT_EQ(run->err(),
              "[process-tap] Recovered 5 orphaned application taps.\n"
              "[process-tap] Padding 1ch live 'Mono Mic' to 2ch with silent mono "
              "tap.\n");
    EXPECT_EQ(leftovers(), 6u);
    run->signal(SIGTERM);
    EXPECT_EQ(run->wait(), 0);
    EXPECT_EQ(leftovers(), 0u);
}

TEST_F(ProcessTapProgram, ARunTakenOverByANewStartEndsWithStatusOneAndSaysWhy) {
    writeWorld();
    auto first = start({"run", "a", "b"});
    ASSERT_TRUE(first->started()) << first->err();
    // The new start destroys the first's device and then its taps, as orphans.
    auto second = start({"run", "a", "b"});
    ASSERT_TRUE(second->started()) << second->err();
    EXPECT_EQ(first->wait(), 1);
    EXPECT_EQ(first->err(),
              "[process-tap] The capture device or a slot tap was removed, as when another "
              "capture starts; stopping.\n");
    second->signal(SIGTERM);
    EXPECT_EQ(second->wait(), 0);
    EXPECT_EQ(leftovers(), 0u);
}

TEST_F(ProcessTapProgram, SlotTapListedByAnotherDeviceSurvivesRecovery) {
    audio::TapDescription kept;
    kept.name = "Pellimar application slot 7";
    const ObjectID keptTap = builder.addTap(kept, "uid-kept");
    audio::TapDescription orphaned;
    orphaned.name = "Pellimar application slot 8";
    const ObjectID orphan = builder.addTap(orphaned, "uid-orphan");
    builder.addAggregate("Studio Recorder", "uid-studio", {{"taps", {{{"uid", "uid-kept"}}}}}, 2,
                         0);
    writeWorld();
    auto run = start({"run", "a"});
    ASSERT_TRUE(run->started()) << run->err();
    EXPECT_EQ(run->err(), "[process-tap] Recovered 1 orphaned application taps.\n");
    EXPECT_NE(world().findTap(keptTap), nullptr);
    EXPECT_EQ(world().findTap(orphan), nullptr);
    run->signal(SIGTERM);
    EXPECT_EQ(run->wait(), 0);
    EXPECT_NE(world().findTap(keptTap), nullptr);
}

TEST_F(ProcessTapProgram, DeviceCreationRetriesThenFailsWithoutLeftovers) {
    builder.addFault({.operation = sim::FaultOperation::create,
                      .selector = sim::kSimCreateAggregateDevice,
                      .status = audio::kAudioHardwareIllegalOperationError,
                      .count = 3});
    writeWorld();
    {
        auto run = start({"run", "a", "b"});
        ASSERT_TRUE(run->started()) << run->err();
        EXPECT_EQ(run->err(), "");
        run->signal(SIGTERM);
        EXPECT_EQ(run->wait(), 0);
    }
    ASSERT_TRUE(control().injectFault({.operation = sim::FaultOperation::create,
                                       .selector = sim::kSimCreateAggregateDevice,
                                       .status = audio::kAudioHardwareIllegalOperationError,
                                       .count = 4}));
    const auto outcome = runToEnd({"run", "a", "b"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err,
              "[process-tap] Create aggregate device failed (OSStatus 1852797029, "
              "fourCC nope).\n");
    EXPECT_EQ(leftovers(), 0u);
    EXPECT_TRUE(world().faults.empty());
}

TEST_F(ProcessTapProgram, LogInfoFollowsJoinsMovesAndLeavesWithProcessSlotAndPattern) {
    const ObjectID chrome = builder.addProcess(601, "com.google.Chrome", true);
    const ObjectID music = builder.addProcess(602, "com.apple.Music", true);
    writeWorld();
    environment = {"PELLIMAR_LOG=info"};
    auto run =
        start({"run", "com.google.Chrome|com.apple.Safari", "org.videolan.vlc", "com.apple.Music"});
    ASSERT_TRUE(run->started()) << run->err();
    const auto info = run->document();
    const std::string browser = "slot 1 (com.google.Chrome|com.apple.Safari)";
    auto logged = [&](const std::string& line) {
        return eventually(
            [&] { return run->err().find("[process-tap] " + line + "\n") != std::string::npos; });
    };
    EXPECT_TRUE(logged("Join: pid 601 (com.google.Chrome, object " + std::to_string(chrome) +
                       ") into " + browser + "."))
        << run->err();
    EXPECT_TRUE(logged("Join: pid 602 (com.apple.Music, object " + std::to_string(music) +
                       ") into announcement slot 3 (com.apple.Music)."));
    EXPECT_TRUE(logged("Capture device " + info["aggregateObjectID"].dump() +
                       " with 6 channels at 48000 Hz."));

    auto safari = control().addProcess(603, "com.apple.Safari", true);
    ASSERT_TRUE(safari);
    const std::string object = ", object " + std::to_string(*safari) + ")";
    EXPECT_TRUE(logged("Join: pid 603 (com.apple.Safari" + object + " into " + browser + "."));
    ASSERT_TRUE(control().update([&](sim::World& world) {
        for (auto& process : world.processes) {
            if (process.id == *safari) {
                process.bundleID = "org.videolan.vlc";
            }
        }
    }));
    EXPECT_TRUE(logged("Move: pid 603 (org.videolan.vlc" + object + " from " + browser +
                       " to slot 2 (org.videolan.vlc)."))
        << run->err();
    ASSERT_TRUE(control().removeProcess(chrome));
    EXPECT_TRUE(logged("Leave: pid 601 (com.google.Chrome, object " + std::to_string(chrome) +
                       ") from " + browser + "."));
    run->signal(SIGTERM);
    EXPECT_EQ(run->wait(), 0);
}

TEST_F(ProcessTapProgram, InTheJournalLinesCarryTheirPriority) {
    writeWorld();
    environment = {"PELLIMAR_LOG=debug", journalStream()};
    auto run = start({"run", "a", "b", "c"});
    ASSERT_TRUE(run->started()) << run->err();
    const ObjectID tap = failUpdatesOfSecondSlot(*run, 2);
    auto b = control().addProcess(701, "b", true);
    ASSERT_TRUE(b);
    const std::string joined =
        "<6>[process-tap] Join: pid 701 (b, object " + std::to_string(*b) + ") into slot 2 (b).\n";
    ASSERT_TRUE(eventually([&] { return run->err().find(joined) != std::string::npos; }))
        << run->err();
    const std::string err = run->err();
    EXPECT_NE(err.find("<7>[process-tap] Tap " + std::to_string(tap) + " for slot 2 (b) ("),
              std::string::npos);
    EXPECT_NE(err.find("<4>[process-tap] Update slot 2 failed (-50); retrying.\n"
                       "<4>[process-tap] Update slot 2 failed (-50); retrying.\n"
                       "<6>[process-tap] Updated slot 2 (b) after 2 failed tries.\n" +
                       joined),
              std::string::npos)
        << err;
    run->signal(SIGTERM);
    EXPECT_EQ(run->wait(), 0);

    environment = {journalStream()};
    const auto usage = runToEnd({"play"});
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.err,
              "<3>[process-tap] Usage: pellimar-process-tap list | run "
              "[--live-input-name NAME] [slot-bundle-id ...]\n");
}

TEST_F(ProcessTapProgram, LogValueNotUnderstoodIsSaidOnceAndLogsAsUnset) {
    writeWorld();
    const std::string usage =
        "[process-tap] Usage: pellimar-process-tap list | run "
        "[--live-input-name NAME] [slot-bundle-id ...]\n";
    environment = {"PELLIMAR_LOG=verbose"};
    auto outcome = runToEnd({"play"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(
        outcome.err,
        "[process-tap] PELLIMAR_LOG=verbose is not info or debug; logging as if unset.\n" + usage);
    environment = {"PELLIMAR_LOG="};
    outcome = runToEnd({"play"});
    EXPECT_EQ(outcome.err, usage);
    // Standard output never changes; a stream that is not standard error's is not the journal.
    environment = {};
    const auto plain = runToEnd({"list"});
    environment = {"PELLIMAR_LOG=INFO", "JOURNAL_STREAM=1:2"};
    outcome = runToEnd({"list"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, plain.out);
    EXPECT_EQ(outcome.err, "");
}

}  // namespace
}  // namespace pellimar::process_tap
