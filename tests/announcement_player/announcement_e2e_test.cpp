// The built pellimar-announcement-player, driven through its control socket and its command
// line; what it played is read back from the simulated output's recording.

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <regex>
#include <set>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "announcement_player/service.hpp"
#include "tests/announcement_player/e2e_support.hpp"
#include "tests/announcement_player/sim_support.hpp"
#include "tests/announcement_player/wav_builder.hpp"
#include "tests/support/journal_stream.hpp"

namespace pellimar::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

json error(const std::string& id, const std::string& message) {
    return {{"event", "error"}, {"id", id}, {"error", message}};
}

std::vector<float> heard(AnnouncementWorld& world) {
    const auto files = recordings(world.dir / "rec");
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::vector<float>{} : readFloatRecording(files[0]).samples;
}

// Starts the service on a socket of the world's and takes its connection.
struct Service {
    explicit Service(AnnouncementWorld& world, bool makeTap = true)
        : socket(world.dir / "ctl.sock"),
          pid(world.start({"--service-socket", world.dir / "ctl.sock"})) {
        if (makeTap) {
            tap.emplace(world.world(), pid);
        }
        EXPECT_TRUE(socket.accept());
        hello = socket.event();
    }
    ControlSocket socket;
    pid_t pid;
    std::optional<TapMaker> tap;
    json hello;
};

TEST(AnnouncementService, ServesLoadPlayAndStopAsTheControllerSeesIt) {
    AnnouncementWorld world;
    const std::string clip1 = writeClip(world.dir / "c1.wav", 1000);
    const std::string clip2 = writeClip(world.dir / "c2.wav", 48000);
    ControlSocket socket(world.dir / "ctl.sock");
    const pid_t pid = world.start({"--service-socket", world.dir / "ctl.sock"});
    ASSERT_TRUE(socket.accept());
    EXPECT_EQ(socket.event(), json({{"event", "hello"}, {"pid", pid}}));
    // Sent before "ready": kept in the socket and handled after it, in order.
    ASSERT_TRUE(socket.write(json({{"command", "load"}, {"id", "c1"}, {"filePath", clip1}}).dump() +
                             "\n" + R"({"command":"play","id":"early","clip":"c0"})" + "\n"));
    TapMaker tap(world.world(), pid);
    EXPECT_EQ(socket.event(), json({{"event", "ready"}, {"pid", pid}}));
    EXPECT_EQ(socket.event(), error("early", "No prepared announcement, or output busy."));
    EXPECT_EQ(socket.event(), json({{"event", "loaded"}, {"id", "c1"}, {"frames", 1000}}));

    // A command split across two writes, then two lines in one write.
    ASSERT_TRUE(socket.write(R"({"command":"pl)"));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(socket.write(R"(ay","id":"p1","clip":"c1"})"
                             "\n"
                             R"({"command":"dance","id":"x"})"
                             "\n"));
    EXPECT_EQ(socket.event(), json({{"event", "playing"}, {"id", "p1"}}));
    EXPECT_EQ(socket.event(), error("x", "Unknown announcement command."));
    EXPECT_EQ(socket.event(), json({{"event", "completed"}, {"id", "p1"}, {"stopped", false}}));
    ASSERT_TRUE(socket.send({{"command", "play"}, {"id", "p1b"}, {"clip", "c1"}}));
    EXPECT_EQ(socket.event(), error("p1b", "No prepared announcement, or output busy."));

    ASSERT_TRUE(socket.send({{"command", "load"}, {"id", "c2"}, {"filePath", clip2}}));
    EXPECT_EQ(socket.event(), json({{"event", "loaded"}, {"id", "c2"}, {"frames", 48000}}));
    ASSERT_TRUE(socket.send({{"command", "play"}, {"id", "p2"}, {"clip", "c2"}}));
    EXPECT_EQ(socket.event(), json({{"event", "playing"}, {"id", "p2"}}));
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(socket.write(R"({"command":"stop","target":"p2"})"
                             "\n"
                             R"({"command":"stop","target":"p2"})"
                             "\n"));
    EXPECT_EQ(socket.event(), json({{"event", "completed"}, {"id", "p2"}, {"stopped", true}}));

    // A line just under the limit followed in the same write by many short ones: the limit is
    // on the line waiting for its line feed, not on how the writes were split.
    std::string many =
        json({{"command", "nope"}, {"id", "long"}, {"pad", std::string(64900, 'L')}}).dump() + "\n";
    for (int i = 0; i < 100; ++i) {
        many += R"({"command":"nope","id":"n)" + std::to_string(i) + "\"}\n";
    }
    ASSERT_GT(many.size(), announcement::kReceiveLimit);
    // Written while the replies are read, as a controller that keeps reading does. (Replies go
    // out without queueing: a burst of a few hundred commands can fill the socket's buffer.)
    bool written = false;
    std::thread writer([&] { written = socket.write(many); });
    EXPECT_EQ(socket.event(), error("long", "Unknown announcement command."));
    for (int i = 0; i < 100; ++i) {
        const json reply = socket.event();
        if (reply != error("n" + std::to_string(i), "Unknown announcement command.")) {
            ADD_FAILURE() << i << ": " << reply;
            break;
        }
    }
    writer.join();
    EXPECT_TRUE(written);

    socket.closeConnection();
    EXPECT_EQ(world.wait(pid), 0);
    EXPECT_EQ(world.err(), "");

    // What was heard: silence, clip 1 in order, the start of clip 2 in order, the ramp from its
    // last frame heard down to exactly 0.0, silence.
    const auto samples = heard(world);
    ASSERT_GT(firstSoundFrame(samples), 0u);
    const auto sound = soundFrames(samples);
    const auto first = rampSamples(1000);
    const auto second = rampSamples(48000);
    ASSERT_GT(sound.size(), 2000u);
    for (std::size_t i = 0; i < 2000; ++i) {
        ASSERT_EQ(sound[i], float(first[i]) / 32768) << i;
    }
    std::size_t played = 0;
    while (2 * (1000 + played) < sound.size() &&
           sound[2 * (1000 + played)] == float(second[2 * played]) / 32768) {
        ASSERT_EQ(sound[2 * (1000 + played) + 1], float(second[2 * played + 1]) / 32768);
        ++played;
    }
    ASSERT_GT(played, 0u);
    ASSERT_LT(played, 48000u);
    expectStopRamp(sound, 1000 + played);
    EXPECT_EQ(sound.size(), 2 * (1000 + played + 239));
}

TEST(AnnouncementService, ProtocolViolationsEndItWithStatusOne) {
    for (const std::string& bad :
         {std::string("\n"), std::string("[1,2]\n"), std::string("not json\n"),
          std::string("\"text\"\n"), std::string(70000, ' '),
          // A complete object over the limit, however the reads happen to cut it.
          json({{"command", "nope"}, {"id", "x"}, {"pad", std::string(70000, 'L')}}).dump() + "\n",
          std::string("{\"command\":\"stop\"}\0garbage\n", 27)}) {
        SCOPED_TRACE(bad.substr(0, 10));
        AnnouncementWorld world;
        Service service(world);
        EXPECT_EQ(service.socket.event()["event"], "ready");
        ASSERT_TRUE(service.socket.write(bad));
        EXPECT_TRUE(service.socket.ended());
        EXPECT_EQ(world.wait(service.pid), 1);
        EXPECT_NE(world.err().find("[announcement-player] Announcement control line"),
                  std::string::npos);
    }
}

TEST(AnnouncementService, AControllerThatStopsReadingIsToldOnStandardError) {
    AnnouncementWorld world;
    Service service(world);
    EXPECT_EQ(service.socket.event()["event"], "ready");
    // Each refusal echoes a 60 KB id; nobody reads them.
    const std::string line = json({{"command", "nope"}, {"id", std::string(60000, 'i')}}).dump();
    for (int i = 0; i < 100 && service.socket.write(line + "\n"); ++i) {
    }
    EXPECT_EQ(world.wait(service.pid), 1);
    EXPECT_NE(world.err().find("[announcement-player] Cannot write announcement event (11). The "
                               "controller is not reading.\n"),
              std::string::npos)
        << world.err();
}

TEST(AnnouncementService, StartUpFailuresArePrintedWithStatusOne) {
    AnnouncementWorld world;
    // 104 bytes is one too many; nothing is connected to.
    std::string longPath = world.dir.path() + "/";
    longPath += std::string(104 - longPath.size(), 's');
    EXPECT_EQ(world.run({"--service-socket", longPath}), 1);
    EXPECT_EQ(world.err(), "[announcement-player] Announcement socket path is too long.\n");

    EXPECT_EQ(world.run({"--service-socket", world.dir / "missing.sock"}), 1);
    EXPECT_EQ(world.err(),
              "[announcement-player] Cannot connect announcement control socket (2).\n");

    const std::string deaf = world.dir / "deaf.sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, deaf.data(), deaf.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(world.run({"--service-socket", deaf}), 1);
    EXPECT_EQ(world.err(),
              "[announcement-player] Cannot connect announcement control socket (111).\n");
    ::close(fd);

    // 103 bytes is connected to; without a capture tap the start-up ends after "hello".
    std::string fitting = world.dir.path() + "/";
    fitting += std::string(103 - fitting.size(), 'f');
    ControlSocket socket(fitting);
    const pid_t pid = world.start({"--service-socket", fitting});
    ASSERT_TRUE(socket.accept());
    EXPECT_EQ(socket.event(), json({{"event", "hello"}, {"pid", pid}}));
    EXPECT_TRUE(socket.ended());
    EXPECT_EQ(world.wait(pid), 1);
    EXPECT_EQ(world.err(),
              "[announcement-player] Announcement capture did not attach within 2 seconds.\n");
}

TEST(AnnouncementCommandLine, UsageErrors) {
    AnnouncementWorld world;
    for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                  {"--file"},
                                                                  {"--file", "relative.wav"},
                                                                  {"--service-socket"},
                                                                  {"--fade-in-ms", "5"}}) {
        EXPECT_EQ(world.run(args), 1);
        EXPECT_EQ(world.err(),
                  "[announcement-player] Usage: pellimar-announcement-player --file "
                  "<absolute.wav> [--source-slot N]\n");
    }
}

std::string writeConstant(const std::string& path, int frames) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    std::vector<float> samples(std::size_t(frames) * 2, 0.5f);
    sf_writef_float(file, samples.data(), frames);
    sf_close(file);
    return path;
}

TEST(AnnouncementOneShot, FadesInAndOutInTwentyStepsOnTheFilesTimeline) {
    AnnouncementWorld world;
    const int frames = 5 * 48000;
    const std::string file = writeConstant(world.dir / "tone.wav", frames);
    // The capture program itself picks the player up for its announcement slot.
    world.program = "pellimar-process-tap";
    const pid_t capture = world.start({"run", "org.pellimar.announcement-player"});
    world.program = "pellimar-announcement-player";
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(world.world()); }));
    std::this_thread::sleep_for(300ms);
    const int status =
        world.run({"--file", file, "--fade-in-ms", "2000", "--fade-out-ms", "+2000"});
    ::kill(capture, SIGTERM);
    world.wait(capture);
    ASSERT_EQ(status, 0) << world.err();

    // Buffers carry one volume each; the recording starts with the first buffer heard. A busy
    // machine may add starvation gaps (silence), so the levels are read from the sound alone.
    const auto samples = heard(world);
    for (std::size_t i = 0; i < 2 * 4096; ++i) {
        ASSERT_EQ(samples[i], 0.0f) << "the first buffer heard is at the fade-in's start, 0";
    }
    const auto sound = soundFrames(samples);
    std::vector<std::pair<float, std::size_t>> runs;  // level and where it starts in `sound`
    for (std::size_t i = 0; 2 * i < sound.size(); ++i) {
        const float level = sound[2 * i] / 0.5f;
        if (runs.empty() || runs.back().first != level) {
            runs.emplace_back(level, i);
        }
    }
    std::vector<float> levels;
    for (const auto& run : runs) {
        levels.push_back(run.first);
    }
    std::vector<float> expected;
    for (int step = 1; step <= 20; ++step) {
        expected.push_back(float(step) / 20.0f);
    }
    for (int step = 1; step < 20; ++step) {
        expected.push_back(1.0f - float(step) / 20.0f);
    }
    EXPECT_EQ(levels, expected);  // twenty steps up, full volume, steps down to the last buffer
    // The fade-out's first step (0.95) is the first buffer that ends a twentieth of it into the
    // last 2 s of the file, counted on the file from the start of playback; two silent buffers
    // began the fade-in and are not in `sound`.
    ASSERT_EQ(runs.size(), 39u);
    const std::size_t firstStepBuffer = (frames - 2 * 48000 + 4800 + 4095) / 4096 - 1;
    EXPECT_EQ(runs[20].second, firstStepBuffer * 4096 - 2 * 4096);
    EXPECT_EQ(samples[samples.size() - 2], 0.0f) << "the last buffer heard is silent";
    EXPECT_NE(world.err().find("[announcement-player] first buffer Lmax=0.5 Rmax=0.5 "
                               "frames=4096\n"),
              std::string::npos);
    EXPECT_EQ(readText(world.dir / "buffer.log"),
              "[announcement-player] first buffer Lmax=0.5 Rmax=0.5 frames=4096\n");
}

TEST(AnnouncementOneShot, SigtermStopsPlaybackAndExitsZero) {
    AnnouncementWorld world;
    const std::string file = writeConstant(world.dir / "long.wav", 60 * 48000);
    const pid_t pid = world.start({"--file", file});
    TapMaker tap(world.world(), pid);
    ASSERT_TRUE(eventually([&] {
        const auto files = recordings(world.dir / "rec");
        return !files.empty() && std::filesystem::file_size(files[0]) > 100000;
    }));
    ::kill(pid, SIGTERM);
    EXPECT_EQ(world.wait(pid), 0);
    EXPECT_LT(heard(world).size(), std::size_t(30 * 48000 * 2));
}

TEST(AnnouncementOneShot, EndsAtOnceForAnEmptyFileAndRefusesWithoutATap) {
    AnnouncementWorld world;
    const std::string empty = writeConstant(world.dir / "empty.wav", 0);
    const pid_t pid = world.start({"--file", empty});
    TapMaker tap(world.world(), pid);
    EXPECT_EQ(world.wait(pid), 0);

    AnnouncementWorld untapped;
    const std::string file = writeConstant(untapped.dir / "a.wav", 48000);
    EXPECT_EQ(untapped.run({"--file", file}), 1);
    EXPECT_NE(untapped.err().find("[announcement-player] Announcement capture did not attach "
                                  "within 2 seconds.\n"),
              std::string::npos);
    EXPECT_TRUE(recordings(untapped.dir / "rec").empty());  // nothing was played

    EXPECT_EQ(untapped.run({"--file", untapped.dir / "missing.wav"}), 1);
    EXPECT_EQ(untapped.err(), "[announcement-player] Unable to open audio file (-43).\n");
}

TEST(AnnouncementLog, InfoSaysTheOutputsDeviceAndFormatWithJournalPriorities) {
    AnnouncementWorld world;
    const std::string file = writeConstant(world.dir / "tone.wav", 48000);
    world.set("PELLIMAR_LOG", "info");
    world.set("JOURNAL_STREAM", journalStreamFor(world.dir / "stderr.txt"));
    const pid_t pid = world.start({"--file", file});
    TapMaker tap(world.world(), pid);
    ASSERT_EQ(world.wait(pid), 0) << world.err();
    const std::string err = world.err();
    EXPECT_NE(err.find("<6>[announcement-player] AudioQueue stereo 2ch interleaved @ 48000 Hz\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(std::regex_search(
        err,
        std::regex(R"(\n<6>\[announcement-player\] Output: 48000 Hz, 2 channels, 32-bit )"
                   R"(float, 3 buffers of 4096 frames, on (the default )?device \d+ \(.+\)\.\n)")))
        << err;
    // The first-buffer file keeps its one plain line: the journal's prefix is standard error's.
    EXPECT_EQ(readText(world.dir / "buffer.log"),
              "[announcement-player] first buffer Lmax=0.5 Rmax=0.5 frames=4096\n");

    AnnouncementWorld service;
    service.set("PELLIMAR_LOG", "debug");
    {
        Service running(service);
        EXPECT_EQ(running.socket.event()["event"], "ready");
        running.socket.closeConnection();
        EXPECT_EQ(service.wait(running.pid), 0);
    }
    EXPECT_TRUE(std::regex_search(
        service.err(),
        std::regex(R"(\[announcement-player\] Output: 48000 Hz, 2 channels, 32-bit float, 3 )"
                   R"(buffers of 512 frames, on (the default )?device \d+ \(.+\)\.\n)")))
        << service.err();
}

TEST(AnnouncementLog, ValueNotUnderstoodIsSaidOnceAndLogsAsUnset) {
    AnnouncementWorld world;
    world.set("PELLIMAR_LOG", "loud");
    EXPECT_EQ(world.run({}), 1);
    EXPECT_EQ(world.err(),
              "[announcement-player] PELLIMAR_LOG=loud is not info or debug; logging as if "
              "unset.\n"
              "[announcement-player] Usage: pellimar-announcement-player --file "
              "<absolute.wav> [--source-slot N]\n");
}

}  // namespace
}  // namespace pellimar::testing
