// "ensure" and "remove" as the controller runs them, against simulated machines.

#include <gtest/gtest.h>

#include "tests/output_fabric/fabric_program.hpp"

namespace pellimar::output_fabric::testing {
namespace {

using audio::ObjectID;
using nlohmann::json;

const char* kUID = "org.pellimar.output-fabric";

std::string fabricJSON(const std::vector<std::string>& members,
                       const std::string& extra = std::string()) {
    json list = json::array();
    for (const auto& m : members) {
        list.push_back({{"stableId", "coreaudio:" + m}});
    }
    std::string text = json{{"members", list}}.dump();
    if (!extra.empty()) {
        text.insert(text.size() - 1, "," + extra);
    }
    return text;
}

struct Machine : FabricProgram {
    ObjectID speakers = 0, usb = 0, hdmi = 0;
    Machine() {
        sim::WorldBuilder world;
        speakers = world.addOutputDevice("Speakers", "speakers", 2);
        usb = world.addDevice(sim::Device::make("USB", "usb", 2, 8));
        hdmi = world.addOutputDevice("HDMI", "hdmi", 6);
        world.addInputDevice("Mic", "mic", 1);
        EXPECT_TRUE(world.write(this->world()));
    }
    std::vector<sim::Device> fabrics() const {
        std::vector<sim::Device> out;
        for (const auto& d : read().devices) {
            if (d.uid == kUID) {
                out.push_back(d);
            }
        }
        return out;
    }
};

TEST(OutputFabricEnsure, CreatesThenReusesWithTheSameResultAndDevice) {
    Machine m;
    const std::string expected =
        "{\n"
        "  \"members\" : [\n"
        "    \"coreaudio:speakers\",\n"
        "    \"coreaudio:usb\"\n"
        "  ],\n"
        "  \"name\" : \"Pellimar Output Fabric\",\n"
        "  \"ok\" : true,\n"
        "  \"outputChannels\" : 10,\n"
        "  \"stableId\" : \"coreaudio:org.pellimar.output-fabric\"\n"
        "}\n";
    const std::string request =
        R"({"members":[{"stableId":"coreaudio:speakers","enabled":true},
                       {"stableId":"coreaudio:hdmi","enabled":false},
                       {"stableId":"coreaudio:usb","note":"ignored"}]})";
    auto created = m.run({"ensure", request});
    ASSERT_EQ(created.status, 0) << created.err;
    EXPECT_EQ(created.out, expected);
    EXPECT_EQ(created.err, "");
    auto fabrics = m.fabrics();
    ASSERT_EQ(fabrics.size(), 1u);
    const ObjectID id = fabrics[0].id;
    EXPECT_EQ(fabrics[0].name, "Pellimar Output Fabric");
    EXPECT_EQ(fabrics[0].channels(sim::StreamScope::output), 10u);
    // The description as the platform keeps it (flags as numbers).
    EXPECT_EQ(*fabrics[0].composition, json::parse(R"({
        "name": "Pellimar Output Fabric", "uid": "org.pellimar.output-fabric",
        "private": 0, "stacked": 0, "master": "speakers",
        "subdevices": [{"uid": "speakers", "drift": 0, "drift quality": 96},
                       {"uid": "usb", "drift": 1, "drift quality": 96}]})"));

    auto reused = m.run({"ensure", request});
    ASSERT_EQ(reused.status, 0) << reused.err;
    EXPECT_EQ(reused.out, expected);
    fabrics = m.fabrics();
    ASSERT_EQ(fabrics.size(), 1u);
    EXPECT_EQ(fabrics[0].id, id);

    // Another member order is another fabric.
    auto reordered = m.run({"ensure", fabricJSON({"usb", "speakers"})});
    ASSERT_EQ(reordered.status, 0) << reordered.err;
    EXPECT_EQ(reordered.document()["members"],
              json::array({"coreaudio:usb", "coreaudio:speakers"}));
    fabrics = m.fabrics();
    ASSERT_EQ(fabrics.size(), 1u);
    EXPECT_NE(fabrics[0].id, id);
    EXPECT_EQ((*fabrics[0].composition)["master"], "usb");
    EXPECT_EQ((*fabrics[0].composition)["subdevices"][0]["uid"], "usb");

    // The fabric never lists itself, and "list" leaves it out.
    auto list = m.run({"list"}).document();
    EXPECT_EQ(list.size(), 3u);
}

TEST(OutputFabricEnsure, RefusesUnusableRequestsWithoutTouchingTheFabric) {
    Machine m;
    ASSERT_EQ(m.run({"ensure", fabricJSON({"speakers", "usb"})}).status, 0);
    const ObjectID id = m.fabrics().at(0).id;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"members":[{"stableId":"coreaudio:speakers"},{"stableId":"coreaudio:usb","enabled":false}]})",
         "macOS output fabric requires at least two enabled devices."},
        {fabricJSON({"speakers"}), "macOS output fabric requires at least two enabled devices."},
        {fabricJSON({"speakers", "gone"}), "Output fabric member is unavailable: coreaudio:gone"},
        {fabricJSON({"speakers", "mic"}), "Output fabric member is unavailable: coreaudio:mic"},
        {fabricJSON({"speakers", kUID}),
         "Output fabric member is unavailable: coreaudio:org.pellimar.output-fabric"},
        {fabricJSON({"gone", "speakers"}), "Output fabric clock master is unavailable."},
        {fabricJSON({"gone", "speakers"}, R"("clockMasterStableId":"coreaudio:elsewhere")"),
         "Output fabric clock master is unavailable."},
        {"{\"members\":[", ""},
        {R"({"member":[]})", ""},
        {"\xff", "Invalid output fabric JSON encoding."}};
    for (const auto& [request, message] : cases) {
        auto run = m.run({"ensure", request});
        EXPECT_EQ(run.status, 1) << request;
        EXPECT_EQ(run.out, "");
        if (message.empty()) {
            // The decoder's own description, on one line.
            EXPECT_TRUE(run.err.starts_with("[output-fabric] ")) << run.err;
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        } else {
            EXPECT_EQ(run.err, errorLine(message)) << request;
        }
        auto fabrics = m.fabrics();
        ASSERT_EQ(fabrics.size(), 1u);
        EXPECT_EQ(fabrics[0].id, id);
    }
}

TEST(OutputFabricEnsure, ANamedClockMasterNeedNotBeAMember) {
    Machine m;
    auto run = m.run(
        {"ensure", fabricJSON({"gone-first", "usb"}, R"("clockMasterStableId":"coreaudio:hdmi")")});
    EXPECT_EQ(run.err, errorLine("Output fabric member is unavailable: coreaudio:gone-first"));
    run = m.run(
        {"ensure", fabricJSON({"speakers", "usb"}, R"("clockMasterStableId":"coreaudio:hdmi")")});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto composition = *m.fabrics().at(0).composition;
    EXPECT_EQ(composition["master"], "hdmi");
    for (const auto& entry : composition["subdevices"]) {
        EXPECT_EQ(entry["drift"], 1);
        EXPECT_EQ(entry["drift quality"], 96);
    }
    EXPECT_EQ(run.document()["outputChannels"], 10);
}

TEST(OutputFabricEnsure, ReplacesFabricsThatDoNotMatch) {
    Machine m;
    sim::WorldControl control = m.control();
    // Left by an older run: booleans where numbers belong, and a second one with the same UID.
    ASSERT_TRUE(control.update([&](sim::World& w) {
        for (const char* stacked : {"false", "absent"}) {
            sim::Device d = sim::Device::make("Pellimar Output Fabric", kUID, 0, 10,
                                              audio::kAudioDeviceTransportTypeAggregate);
            d.composition = json{{"uid", kUID},
                                 {"master", "speakers"},
                                 {"subdevices", {{{"uid", "speakers"}}, {{"uid", "usb"}}}}};
            if (std::string(stacked) == "false") {
                (*d.composition)["stacked"] = false;
            }
            d.id = w.allocateID();
            for (auto& s : d.streams) {
                s.id = w.allocateID();
            }
            w.devices.push_back(d);
        }
    }));
    auto before = m.fabrics();
    ASSERT_EQ(before.size(), 2u);
    auto run = m.run({"ensure", fabricJSON({"speakers", "usb"})});
    ASSERT_EQ(run.status, 0) << run.err;
    auto after = m.fabrics();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_GT(after[0].id, before[1].id);
}

TEST(OutputFabricEnsure, CreationAttemptsAndTheChannelWait) {
    Machine m;
    sim::Fault refuse;
    refuse.operation = sim::FaultOperation::create;
    refuse.selector = sim::kSimCreateAggregateDevice;
    refuse.status = audio::kAudioHardwareUnspecifiedError;
    refuse.count = 4;
    ASSERT_TRUE(m.control().injectFault(refuse));
    auto run = m.run({"ensure", fabricJSON({"speakers", "usb"})});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              errorLine("Create output fabric failed (OSStatus 2003329396, fourCC what)."));
    EXPECT_TRUE(m.fabrics().empty());

    refuse.count = 3;
    ASSERT_TRUE(m.control().injectFault(refuse));
    run = m.run({"ensure", fabricJSON({"speakers", "usb"})});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(m.read().faults.empty());

    // A new fabric that shows only some of its channels is removed again.
    sim::Delay partial;
    partial.effect = sim::DelayEffect::aggregateChannels;
    partial.uid = kUID;
    partial.reads = -1;
    partial.channels = 8;
    ASSERT_TRUE(m.control().addDelay(partial));
    run = m.run({"ensure", fabricJSON({"usb", "hdmi"})});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, errorLine("Output fabric exposes 8 channels; expected 14."));
    EXPECT_TRUE(m.fabrics().empty());
}

TEST(OutputFabricRemove, RemovesEveryFabricAndAlwaysAnswersOk) {
    Machine m;
    const std::string removed = "{\n  \"ok\" : true,\n  \"removed\" : true\n}\n";
    ASSERT_TRUE(m.control().update([&](sim::World& w) {
        for (int i = 0; i < 2; ++i) {
            sim::Device d = sim::Device::make("Pellimar Output Fabric", kUID, 0, 4,
                                              audio::kAudioDeviceTransportTypeAggregate);
            d.composition = json::object();
            d.id = w.allocateID();
            for (auto& s : d.streams) {
                s.id = w.allocateID();
            }
            w.devices.push_back(d);
        }
    }));
    ASSERT_EQ(m.fabrics().size(), 2u);
    auto run = m.run({"remove", "ignored"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, removed);
    EXPECT_TRUE(m.fabrics().empty());
    EXPECT_EQ(m.read().devices.size(), 4u);

    run = m.run({"remove"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, removed);

    ASSERT_EQ(m.run({"ensure", fabricJSON({"speakers", "usb"})}).status, 0);
    sim::Fault refuse;
    refuse.operation = sim::FaultOperation::destroy;
    refuse.selector = sim::kSimDestroyAggregateDevice;
    refuse.status = audio::kAudioHardwareIllegalOperationError;
    refuse.count = -1;
    ASSERT_TRUE(m.control().injectFault(refuse));
    run = m.run({"remove"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, removed);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(m.fabrics().size(), 1u);
}

TEST(OutputFabricLog, InfoSaysTheStepsAndLeavesStandardOutputAlone) {
    Machine m;
    const std::string members = fabricJSON({"speakers", "usb"});
    m.environment = {"PELLIMAR_LOG=info"};
    const auto created = m.run({"ensure", members});
    ASSERT_EQ(created.status, 0) << created.err;
    ASSERT_EQ(m.fabrics().size(), 1u);
    const std::string fabric = std::to_string(m.fabrics()[0].id);
    const std::string ensuring =
        "[output-fabric] Ensure: members coreaudio:speakers, coreaudio:usb; clock master "
        "coreaudio:speakers.\n";
    EXPECT_EQ(created.err, ensuring + "[output-fabric] Created the output fabric " + fabric +
                               "; waiting for 10 channels.\n");
    const auto reused = m.run({"ensure", members});
    EXPECT_EQ(reused.out, created.out);
    EXPECT_EQ(reused.err, ensuring + "[output-fabric] Reusing the output fabric " + fabric +
                              " with 10 channels.\n");
    const auto removed = m.run({"remove"});
    EXPECT_EQ(removed.err, "[output-fabric] Removed the output fabric " + fabric + ".\n");

    m.environment = {};
    const auto plain = m.run({"remove"});
    EXPECT_EQ(plain.out, removed.out);
    EXPECT_EQ(plain.err, "");
}

TEST(OutputFabricLog, InTheJournalLinesCarryTheirPriority) {
    Machine m;
    m.environment = {"PELLIMAR_LOG=debug", m.journalStream()};
    EXPECT_EQ(m.run({"configure"}).err,
              "<7>[output-fabric] Command: configure.\n<3>" + errorLine("configure JSON required"));
    m.environment = {m.journalStream()};
    EXPECT_EQ(m.run({"configure"}).err, "<3>" + errorLine("configure JSON required"));
    m.environment = {"PELLIMAR_LOG=all"};
    const auto unknown = m.run({"configure"});
    EXPECT_EQ(unknown.err,
              "[output-fabric] PELLIMAR_LOG=all is not info or debug; logging as if unset.\n" +
                  errorLine("configure JSON required"));
}

}  // namespace
}  // namespace pellimar::output_fabric::testing
