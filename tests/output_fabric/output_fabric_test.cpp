// The output fabric's library against a simulated audio system in this process, with the pauses
// recorded instead of taken.

#include <gtest/gtest.h>

#include <cstring>

#include "output_fabric/configure.hpp"
#include "output_fabric/fabric.hpp"
#include "output_fabric/json_input.hpp"
#include "platform/sim/audio_system.hpp"
#include "platform/sim/world.hpp"
#include "tests/support/temp_dir.hpp"

namespace pellimar::output_fabric {
namespace {

namespace sim = audio::sim;
using namespace std::chrono_literals;
using nlohmann::json;

const std::string kTwoMembers =
    R"({"members":[{"stableId":"coreaudio:left"},{"stableId":"coreaudio:right"}]})";

struct Machine {
    pellimar::testing::TempDir dir;
    sim::WorldBuilder builder;
    ObjectID left = 0, right = 0;
    std::unique_ptr<sim::SimAudioSystem> system;
    std::vector<std::chrono::milliseconds> slept, ran;
    Pauses pauses{[this](std::chrono::milliseconds d) { slept.push_back(d); },
                  [this](std::chrono::milliseconds d) { ran.push_back(d); }};

    Machine() {
        left = builder.addOutputDevice("Left", "left", 2);
        right = builder.addOutputDevice("Right", "right", 8);
    }
    void open() {
        ASSERT_TRUE(builder.write(dir.world()));
        system = sim::SimAudioSystem::open(dir.world()).value();
    }
    sim::World world() const { return sim::WorldControl(dir.world()).read().value(); }
    std::vector<const sim::Device*> fabrics(const sim::World& w) const {
        std::vector<const sim::Device*> out;
        for (const auto& d : w.devices) {
            if (d.uid == aggregateUID) {
                out.push_back(&d);
            }
        }
        return out;
    }
    void fault(sim::FaultOperation op, Selector selector, Status status, int count,
               ObjectID object = 0) {
        sim::Fault f;
        f.operation = op;
        f.object = object;
        f.selector = selector;
        f.status = status;
        f.count = count;
        ASSERT_TRUE(sim::WorldControl(dir.world()).injectFault(f));
    }
};

TEST(Ensure, CreationIsTriedFourTimesWithGrowingPauses) {
    Machine m;
    m.open();
    m.fault(sim::FaultOperation::create, sim::kSimCreateAggregateDevice, -50, 3);
    auto result = ensure(*m.system, kTwoMembers, m.pauses);
    ASSERT_TRUE(result) << result.error().description();
    EXPECT_EQ((*result)["outputChannels"], 10);
    EXPECT_EQ(m.slept, (std::vector<std::chrono::milliseconds>{250ms, 500ms, 750ms}));
    EXPECT_TRUE(m.ran.empty());

    // Four refusals: the fourth status is reported, and the old fabric is gone too.
    m.slept.clear();
    m.fault(sim::FaultOperation::create, sim::kSimCreateAggregateDevice,
            audio::kAudioHardwareIllegalOperationError, 4);
    result = ensure(*m.system, R"({"members":[{"stableId":"coreaudio:right"},
                                             {"stableId":"coreaudio:left"}]})",
                    m.pauses);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(),
              "Create output fabric failed (OSStatus 1852797029, fourCC nope).");
    EXPECT_EQ(m.slept.size(), 3u);
    EXPECT_TRUE(m.fabrics(m.world()).empty());
}

TEST(Ensure, ChannelWaitGivesUpAfterFiftyReadingsAndLeavesNoFabric) {
    Machine m;
    sim::Delay delay;
    delay.effect = sim::DelayEffect::aggregateChannels;
    delay.reads = -1;
    delay.channels = 2;
    m.builder.addDelay(delay);
    m.open();
    auto result = ensure(*m.system, kTwoMembers, m.pauses);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(), "Output fabric exposes 2 channels; expected 10.");
    EXPECT_EQ(m.ran, std::vector<std::chrono::milliseconds>(50, 100ms));
    EXPECT_TRUE(m.fabrics(m.world()).empty());
}

TEST(Ensure, ChannelWaitCountsFailedReadsAsNoChannels) {
    Machine m;
    sim::Delay delay;
    delay.effect = sim::DelayEffect::aggregateChannels;
    delay.reads = 3;
    m.builder.addDelay(delay);
    m.open();
    auto result = ensure(*m.system, kTwoMembers, m.pauses);
    ASSERT_TRUE(result) << result.error().description();
    EXPECT_EQ(m.ran.size(), 3u);

    // A new fabric whose configuration can never be read ends with "0 channels".
    ASSERT_TRUE(destroyExistingAggregate(*m.system));
    m.ran.clear();
    sim::Fault f;
    f.operation = sim::FaultOperation::sizeQuery;
    f.selector = audio::kAudioDevicePropertyStreamConfiguration;
    f.element = audio::kAudioObjectPropertyElementWildcard;
    f.status = audio::kAudioHardwareBadDeviceError;
    f.count = -1;
    f.skip = 2;  // the two members' reads in the device list pass
    ASSERT_TRUE(sim::WorldControl(m.dir.world()).injectFault(f));
    result = ensure(*m.system, kTwoMembers, m.pauses);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(), "Output fabric exposes 0 channels; expected 10.");
    EXPECT_TRUE(m.fabrics(m.world()).empty());
}

TEST(Ensure, CompositionMustMatchInEveryRespectToBeReused) {
    Machine m;
    auto seed = [&](json composition, std::uint32_t outputs) {
        m.builder.addAggregate(std::string(aggregateName), std::string(aggregateUID),
                               std::move(composition), 0, outputs);
    };
    const json good = {{"uid", aggregateUID},
                       {"stacked", 0},
                       {"private", 0},
                       {"master", "left"},
                       {"subdevices", {{{"uid", "left"}}, {{"no uid", 1}}, {{"uid", "right"}}}}};
    seed(good, 10);  // entries without a text "uid" are passed over
    json boolean = good;
    boolean["stacked"] = false;  // not a number
    seed(boolean, 10);
    json lacking = good;
    lacking.erase("stacked");
    seed(lacking, 10);
    seed(good, 9);  // fewer channels than expected
    m.open();
    const ObjectID reusable = m.fabrics(m.world())[0]->id;
    auto result = ensure(*m.system, kTwoMembers, m.pauses);
    ASSERT_TRUE(result) << result.error().description();
    EXPECT_EQ(m.fabrics(m.world()).size(), 4u);  // reused: nothing touched
    EXPECT_EQ(m.fabrics(m.world())[0]->id, reusable);

    // Another master: none matches, all four are destroyed and one is created.
    result = ensure(*m.system,
                    R"({"members":[{"stableId":"coreaudio:left"},{"stableId":"coreaudio:right"}],
                        "clockMasterStableId":"coreaudio:right"})",
                    m.pauses);
    ASSERT_TRUE(result) << result.error().description();
    const sim::World after = m.world();
    auto fabrics = m.fabrics(after);
    ASSERT_EQ(fabrics.size(), 1u);
    EXPECT_EQ((*fabrics[0]->composition)["master"], "right");
    EXPECT_EQ((*fabrics[0]->composition)["subdevices"][0]["drift"], 1);
    EXPECT_EQ((*fabrics[0]->composition)["subdevices"][1]["drift"], 0);
}

TEST(SavedFormat, IsBase64OfTheFortyBytesInMemory) {
    auto format = sim::integerFormat(6, 44100.5, 24);
    const std::string text = formatText(format);
    EXPECT_EQ(text.size(), 56u);
    EXPECT_TRUE(text.ends_with("="));
    // Little-endian 44100.5 begins the bytes; "lpcm" follows as a 32-bit value.
    std::uint8_t bytes[40];
    std::memcpy(bytes, &format, 40);
    EXPECT_EQ(bytes[8], 'm');
    EXPECT_EQ(bytes[11], 'l');

    Machine m;
    m.builder.device(m.left).streams[0].availablePhysical.push_back({format, {44100.5, 44100.5}});
    m.open();
    const ObjectID stream = m.world().findDevice(m.left)->streams[0].id;
    ASSERT_TRUE(setFormat(*m.system, stream, audio::kAudioStreamPropertyPhysicalFormat, text));
    EXPECT_EQ(std::memcmp(&m.world().findDevice(m.left)->streams[0].physical, &format, 40), 0);

    for (const std::string& bad :
         {text.substr(0, 52) + "AAA=",  // 39 bytes
          text.substr(0, 28) + "\n" + text.substr(28), text.substr(0, 55), text + "AAAA",
          text.substr(0, 54) + "=A", "*" + text.substr(1), std::string()}) {
        auto set = setFormat(*m.system, stream, audio::kAudioStreamPropertyPhysicalFormat, bad);
        ASSERT_FALSE(set) << bad;
        EXPECT_EQ(set.error().description(), "Invalid saved audio format");
    }
}

TEST(Configure, ReadbackWaitsFortyTimesThenRollsBack) {
    Machine m;
    m.builder.device(m.right).streams[0].availablePhysical.push_back(
        {sim::floatFormat(4, 48000), {44100, 96000}});
    m.open();
    sim::Delay never;
    never.effect = sim::DelayEffect::streamFormat;
    never.reads = -1;
    ASSERT_TRUE(sim::WorldControl(m.dir.world()).addDelay(never));
    ControlRequest request{"coreaudio:right", 4, 96000.0, std::nullopt};
    auto result = configure(*m.system, {request}, m.pauses);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().description(), "Output channel readback mismatch");
    EXPECT_EQ(m.slept, std::vector<std::chrono::milliseconds>(40, 50ms));
    // The rollback wrote the saved formats back (behind the change that never landed).
    EXPECT_EQ(m.world().findDevice(m.right)->streams[0].pendingFormat->mChannelsPerFrame, 8u);
}

TEST(JsonInput, EncodingAndShapes) {
    EXPECT_TRUE(isUTF8("plain, ü, 日本, 🎧"));
    for (const char* bad : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xe6\x97", "\xf4\x90\x80\x80"}) {
        EXPECT_FALSE(isUTF8(bad)) << bad;
    }
    auto fabric = decodeFabric(
        R"({"members":[{"stableId":"a","enabled":null,"extra":1},{"stableId":"b","enabled":false}],
            "clockMasterStableId":null})");
    ASSERT_TRUE(fabric);
    EXPECT_FALSE(fabric->members[0].enabled.has_value());
    EXPECT_EQ(fabric->members[1].enabled, false);
    EXPECT_FALSE(fabric->clockMasterStableId.has_value());
    EXPECT_FALSE(decodeFabric(R"({"members":{}})"));
    EXPECT_FALSE(decodeFabric(R"({"members":[{"stableId":"a","enabled":"yes"}]})"));

    auto requests = decodeControlRequests(
        R"([{"stableId":"a","outputChannels":-2,"sampleRate":44100.5,"inputSourceId":4294967295}])");
    ASSERT_TRUE(requests);
    EXPECT_EQ((*requests)[0].outputChannels, -2);
    EXPECT_EQ((*requests)[0].inputSourceId, 4294967295u);
    for (const char* bad : {R"([{"stableId":"a","inputSourceId":-1}])",
                            R"([{"stableId":"a","inputSourceId":4294967296}])",
                            R"([{"stableId":"a","outputChannels":2.5}])", R"([{}])", R"({})"}) {
        EXPECT_FALSE(decodeControlRequests(bad)) << bad;
    }
    EXPECT_FALSE(decodeControlRestores(R"([{"stableId":"a"}])"));
    EXPECT_TRUE(decodeControlRestores(R"([{"stableId":"a","streams":[]}])"));
}

// The JSON library takes a NUL byte for the end of the text; what follows it must not be ignored.
TEST(JsonInput, ANulByteIsNotTheEndOfTheText) {
    const std::string trailing("[]\0garbage", 10);
    EXPECT_FALSE(decodeControlRequests(trailing));
    EXPECT_FALSE(decodeControlRestores(trailing));
    auto fabric = decodeFabric(std::string(R"({"members":[]})") + '\0' + "}");
    ASSERT_FALSE(fabric);
    EXPECT_EQ(fabric.error().description(),
              "The given data was not valid JSON: a NUL byte at offset 14.");
}

}  // namespace
}  // namespace pellimar::output_fabric
