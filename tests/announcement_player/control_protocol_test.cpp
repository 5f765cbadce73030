#include "announcement_player/control_protocol.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace pellimar::announcement {
namespace {

using nlohmann::json;

// Every complete line the buffer gives after `bytes` is appended.
std::vector<std::string> take(ControlLineBuffer& buffer, std::string_view bytes) {
    buffer.append(bytes);
    std::vector<std::string> lines;
    while (auto line = buffer.next()) {
        lines.emplace_back(*line);
    }
    return lines;
}

TEST(ControlLineBuffer, KeepsAPartialLineUntilItsLineFeed) {
    ControlLineBuffer buffer;
    EXPECT_EQ(take(buffer, "{\"a\":1}\n{\"b\""), std::vector<std::string>{"{\"a\":1}"});
    EXPECT_EQ(take(buffer, ":2}\n\n"), (std::vector<std::string>{"{\"b\":2}", ""}));
    EXPECT_TRUE(take(buffer, "").empty());
    EXPECT_FALSE(buffer.tooLong());
}

// A line over the limit is refused whether it arrives in one read or in many, and lines before
// it are still taken; one of exactly the limit is a legal line.
TEST(ControlLineBuffer, ALineOverTheLimitIsRefusedHoweverItArrives) {
    const std::string atLimit(kReceiveLimit, 'x');
    ControlLineBuffer whole;
    EXPECT_EQ(take(whole, "{}\n" + atLimit + "x\n{}\n"), std::vector<std::string>{"{}"});
    EXPECT_TRUE(whole.tooLong());

    ControlLineBuffer pieces;
    std::vector<std::string> lines = take(pieces, "{}\n");
    for (std::size_t done = 0; done < atLimit.size() && !pieces.tooLong(); done += 8192) {
        EXPECT_TRUE(take(pieces, std::string_view(atLimit).substr(done, 8192)).empty());
    }
    EXPECT_FALSE(pieces.tooLong());
    EXPECT_TRUE(take(pieces, "x").empty());
    EXPECT_TRUE(pieces.tooLong());

    ControlLineBuffer exact;
    EXPECT_EQ(take(exact, atLimit + "\n").size(), 1u);
    EXPECT_FALSE(exact.tooLong());
}

TEST(ControlCommands, OnlyObjectsAreCommandsAndMistypedFieldsCountAsAbsent) {
    for (const char* line : {"", "[1,2]", "not json", "\"text\"", "{} {}", "{\"a\":1"}) {
        EXPECT_FALSE(decodeControlLine(line)) << line;
    }
    // The JSON library would stop at the NUL and take the object before it.
    EXPECT_FALSE(decodeControlLine(std::string("{\"command\":\"stop\"}\0garbage", 26)));
    const auto object = decodeControlLine(
        R"({"command":"load","id":7,"filePath":"/a.wav","clip":null,"target":["p1"]})");
    ASSERT_TRUE(object);
    const AnnouncementCommand command = decodeAnnouncementCommand(*object);
    EXPECT_EQ(command, (AnnouncementCommand{"", "load", "/a.wav", std::nullopt, std::nullopt}));
    EXPECT_EQ(decodeAnnouncementCommand(json{{"id", "p1"}, {"clip", "c1"}, {"target", "t"}}),
              (AnnouncementCommand{"p1", std::nullopt, std::nullopt, "c1", "t"}));
}

// Each event carries its own fields and no others: the controller tells kinds apart by "event"
// and would take a stray "stopped" or "frames" at its word.
TEST(ControlEvents, EachKindWritesOnlyItsFields) {
    using Kind = AnnouncementEvent::Kind;
    EXPECT_EQ(encodeAnnouncementEvent({Kind::loaded, "c1", 4800, true, "x"}),
              json({{"event", "loaded"}, {"id", "c1"}, {"frames", 4800}}));
    EXPECT_EQ(encodeAnnouncementEvent({Kind::playing, "p1", 4800, true, "x"}),
              json({{"event", "playing"}, {"id", "p1"}}));
    EXPECT_EQ(encodeAnnouncementEvent({Kind::completed, "p1", 4800, false, "x"}),
              json({{"event", "completed"}, {"id", "p1"}, {"stopped", false}}));
    EXPECT_EQ(
        encodeAnnouncementEvent({Kind::error, "", 4800, true, "No prepared announcement."}).dump(),
        R"({"error":"No prepared announcement.","event":"error","id":""})");
}

}  // namespace
}  // namespace pellimar::announcement
