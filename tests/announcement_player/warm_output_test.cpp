#include "announcement_player/warm_output.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/announcement_player/sim_support.hpp"
#include "tests/announcement_player/wav_builder.hpp"
#include "tests/platform/audio_queue/test_support.hpp"
#include "tests/player/e2e_support.hpp"

namespace pellimar::announcement {
namespace {

using nlohmann::json;
using testing::SimMachine;

class WarmOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("PELLIMAR_SIM_RECORD_DIR", records.path().c_str(), 1);
        auto created = WarmAnnouncementOutput::create(*machine.system, loop, tapWait);
        ASSERT_TRUE(created);
        output = std::move(created).value();
        output->emit = [this](const AnnouncementEvent& event) {
            events.push_back(encodeAnnouncementEvent(event));
        };
    }
    void TearDown() override { ::unsetenv("PELLIMAR_SIM_RECORD_DIR"); }

    void attach() { machine.addTap(machine.processesOf(::getpid())); }

    // Hands the output a command as the service decodes it from its line.
    void deliver(const json& object) { output->command(decodeAnnouncementCommand(object)); }

    // Sends a command and runs the loop until `count` events have arrived in all.
    bool command(const json& object, std::size_t count = 0) {
        deliver(object);
        return testing::runLoopUntil(loop, [&] { return events.size() >= count; });
    }

    json event(std::size_t i) { return i < events.size() ? events[i] : json(); }

    // What the output played, once it is closed.
    std::vector<float> heard() {
        output->close();
        const auto files = testing::recordings(records.path());
        EXPECT_EQ(files.size(), 1u);
        return files.empty() ? std::vector<float>{} : testing::readFloatRecording(files[0]).samples;
    }

    testing::TempDir records;
    SimMachine machine;
    RunLoop loop;
    AnnouncementTapWait tapWait{*machine.system, loop, ::getpid()};
    std::unique_ptr<WarmAnnouncementOutput> output;
    std::vector<json> events;
};

// A stop before any of a new clip's samples were queued follows silence, not the last sample of
// the clip before it, so it adds no click.
TEST_F(WarmOutputTest, StopAfterAClipEndedRampsFromSilence) {
    attach();
    testing::TempDir files;
    const auto path = testing::writeClip(files / "c.wav", 512);
    ASSERT_TRUE(command({{"command", "load"}, {"id", "c1"}, {"filePath", path}}, 1));
    ASSERT_TRUE(command({{"command", "play"}, {"id", "p1"}, {"clip", "c1"}}, 3));
    ASSERT_TRUE(command({{"command", "load"}, {"id", "c2"}, {"filePath", path}}, 4));
    deliver({{"command", "play"}, {"id", "p2"}, {"clip", "c2"}});
    deliver({{"command", "stop"}, {"target", "p2"}});
    ASSERT_TRUE(testing::runLoopUntil(loop, [&] { return events.size() >= 6; }));
    EXPECT_EQ(event(5), json({{"event", "completed"}, {"id", "p2"}, {"stopped", true}}));

    // Exactly the first clip was heard; nothing (no ramp from its last frame) afterwards.
    EXPECT_EQ(testing::soundFrames(heard()).size(), 2 * 512u);
}

TEST_F(WarmOutputTest, LoadStaysInProgressThroughItsTapWaitSoNoClipIsLost) {
    testing::TempDir files;
    const auto first = testing::writeClip(files / "a.wav", 100);
    const auto second = testing::writeClip(files / "b.wav", 200);
    // No tap yet: once read, c1 waits for one; the load is still in progress meanwhile.
    deliver({{"command", "load"}, {"id", "c1"}, {"filePath", first}});
    loop.runFor(std::chrono::milliseconds(300));
    ASSERT_TRUE(output->loading());
    ASSERT_TRUE(events.empty());
    deliver({{"command", "load"}, {"id", "c2"}, {"filePath", second}});
    deliver({{"command", "play"}, {"id", "p1"}, {"clip", "c1"}});
    EXPECT_EQ(event(0), json({{"event", "error"}, {"id", "c2"}, {"error", kLoadRefused}}));
    EXPECT_EQ(event(1), json({{"event", "error"}, {"id", "p1"}, {"error", kPlayRefused}}));
    const auto tap = machine.addTap(machine.processesOf(::getpid()));
    ASSERT_TRUE(testing::runLoopUntil(loop, [&] { return events.size() >= 3; }));
    EXPECT_EQ(event(2), json({{"event", "loaded"}, {"id", "c1"}, {"frames", 100}}));
    EXPECT_FALSE(output->loading());

    // The tap goes away: the next load times out and the clip prepared before it is gone too.
    machine.removeTap(tap);
    ASSERT_TRUE(command({{"command", "load"}, {"id", "c2"}, {"filePath", second}}, 4));
    EXPECT_EQ(event(3), json({{"event", "error"}, {"id", "c2"}, {"error", kTapTimedOut}}));
    EXPECT_FALSE(output->loadedID());
}

TEST_F(WarmOutputTest, RefusedCommandsAnswerWithTheirOwnIdAndChangeNothing) {
    attach();
    testing::TempDir files;
    const auto path = testing::writeClip(files / "a.wav", 100);
    const std::vector<std::pair<json, json>> cases = {
        {{{"command", "load"}, {"filePath", path}}, {{"id", ""}, {"error", kLoadRefused}}},
        {{{"command", "load"}, {"id", 7}, {"filePath", path}},
         {{"id", ""}, {"error", kLoadRefused}}},
        {{{"command", "load"}, {"id", "x"}, {"filePath", "a.wav"}},
         {{"id", "x"}, {"error", kLoadRefused}}},
        {{{"command", "load"}, {"id", "x"}, {"filePath", 3}},
         {{"id", "x"}, {"error", kLoadRefused}}},
        {{{"command", "play"}, {"id", "p1"}, {"clip", "c1"}},
         {{"id", "p1"}, {"error", kPlayRefused}}},
        {{{"command", "dance"}, {"id", "x"}}, {{"id", "x"}, {"error", kUnknownCommand}}},
        {{{"id", "y"}}, {{"id", "y"}, {"error", kUnknownCommand}}},
        {{{"command", 1}, {"id", "z"}}, {{"id", "z"}, {"error", kUnknownCommand}}},
    };
    for (const auto& [command, reply] : cases) {
        events.clear();
        deliver(command);
        ASSERT_EQ(events.size(), 1u) << command;
        json expected = reply;
        expected["event"] = "error";
        EXPECT_EQ(events[0], expected) << command;
    }
    events.clear();
    deliver({{"command", "stop"}, {"target", "nothing"}});
    deliver({{"command", "stop"}});
    EXPECT_TRUE(events.empty());

    // A failed load forgets the clip prepared before it.
    ASSERT_TRUE(command({{"command", "load"}, {"id", "c1"}, {"filePath", path}}, 1));
    ASSERT_TRUE(command({{"command", "load"}, {"id", "c2"}, {"filePath", files / "none.wav"}}, 2));
    EXPECT_EQ(event(1), json({{"event", "error"}, {"id", "c2"}, {"error", std::strerror(ENOENT)}}));
    EXPECT_FALSE(output->loadedID());
    testing::writeText(files / "notes.wav", "these are notes, not audio");
    ASSERT_TRUE(command({{"command", "load"}, {"id", "c3"}, {"filePath", files / "notes.wav"}}, 3));
    EXPECT_EQ(event(2), json({{"event", "error"}, {"id", "c3"}, {"error", kInvalidWav}}));
}

TEST_F(WarmOutputTest, CloseIsFinalAndIdempotent) {
    loop.runFor(std::chrono::milliseconds(30));
    output->close();
    EXPECT_FALSE(output->isOpen());
    output->close();
    loop.runFor(std::chrono::milliseconds(30));  // late callbacks do nothing
    const auto samples = heard();
    for (float s : samples) {
        ASSERT_EQ(s, 0.0f);  // idle: silence only
    }
}

}  // namespace
}  // namespace pellimar::announcement
