// "list", "inventory" and the command line, run as the controller runs them.

#include <gtest/gtest.h>

#include "tests/output_fabric/fabric_program.hpp"

namespace pellimar::output_fabric::testing {
namespace {

using audio::ObjectID;
using nlohmann::json;

sim::Fault readFault(ObjectID object, audio::Selector selector,
                     audio::Status status = audio::kAudioHardwareBadObjectError) {
    sim::Fault f;
    f.operation = sim::FaultOperation::read;
    f.object = object;
    f.selector = selector;
    f.status = status;
    f.count = -1;
    return f;
}

// The entry of `array` whose "name" is `name`, or null.
json named(const json& array, const std::string& name) {
    for (const auto& entry : array) {
        if (entry.value("name", "") == name) {
            return entry;
        }
    }
    return nullptr;
}

TEST(OutputFabricCommandLine, ListIsTheDefaultAndPrintsExactlyOneDocument) {
    FabricProgram program;
    sim::WorldBuilder world;
    auto studio = world.addOutputDevice("Studio", "studio", 2);
    world.setDefaultSystemOutput(studio);
    ASSERT_TRUE(world.write(program.world()));

    const std::string expected =
        "[\n"
        "  {\n"
        "    \"available\" : true,\n"
        "    \"backend\" : \"coreaudio\",\n"
        "    \"defaultOutput\" : true,\n"
        "    \"name\" : \"Studio\",\n"
        "    \"outputChannels\" : 2,\n"
        "    \"preferredSampleRate\" : 48000,\n"
        "    \"sampleRate\" : 48000,\n"
        "    \"sampleRates\" : [\n"
        "      44100,\n"
        "      48000,\n"
        "      96000\n"
        "    ],\n"
        "    \"stableId\" : \"coreaudio:studio\",\n"
        "    \"virtual\" : false\n"
        "  }\n"
        "]\n";
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{}, {"list"}, {"list", "extra", "{}"}}) {
        auto run = program.run(arguments);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, expected);
        EXPECT_EQ(run.err, "");
    }
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"LIST"}, {" list"}, {"ensure"}, {"ensure", "{}", "extra"}, {"frobnicate"}}) {
        auto run = program.run(arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, errorLine("Usage: pellimar-output-fabric list | ensure JSON | remove"));
    }
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"configure"}, {"configure", "[]", "extra"}}) {
        EXPECT_EQ(program.run(arguments).err, errorLine("configure JSON required"));
    }
    EXPECT_EQ(program.run({"restore"}).err, errorLine("restore JSON required"));
    EXPECT_EQ(program.run({"restore"}).status, 1);
}

TEST(OutputFabricList, LeavesOutUnusableDevicesAndReadsRatesAndNames) {
    FabricProgram program;
    sim::WorldBuilder world;
    auto speakers = world.addOutputDevice("Speakers", "speakers", 2);
    world.addInputDevice("Mic", "mic", 2);
    world.addAggregate("Pellimar Output Fabric", "org.pellimar.output-fabric", json::object(), 0,
                       4);
    world.addOutputDevice("Blank", "", 2);
    auto nullUID = world.addOutputDevice("No UID", "x", 2);
    world.device(nullUID).uidIsNull = true;
    world.addOutputDevice("My VIRTUAL Cable", "cable", 2);
    world.addOutputDevice("Multi-Output Aggregate Device", "multi", 4);
    auto unreadableRates = world.addOutputDevice("Unreadable Rates", "rates", 2);
    world.device(unreadableRates).nominalRate = 44100;
    auto odd = world.addOutputDevice("Odd Rate", "odd", 2);
    world.device(odd).nominalRate = 46000;
    world.device(odd).availableRates = {{44100, 48000}};
    auto low = world.addOutputDevice("Low Rates", "low", 2);
    world.device(low).availableRates = {{8000, 16000}};
    auto nameless = world.addOutputDevice("Nameless", "nameless", 2);
    auto rateless = world.addOutputDevice("Rateless", "rateless", 2);
    world.addFault(
        readFault(unreadableRates, audio::kAudioDevicePropertyAvailableNominalSampleRates));
    world.addFault(readFault(nameless, audio::kAudioObjectPropertyName));
    world.addFault(readFault(rateless, audio::kAudioDevicePropertyNominalSampleRate));
    // The default output cannot be read: no device is the default.
    world.addFault(readFault(1, audio::kAudioHardwarePropertyDefaultSystemOutputDevice));
    world.setDefaultSystemOutput(speakers);
    ASSERT_TRUE(world.write(program.world()));

    auto run = program.run({"list"});
    ASSERT_EQ(run.status, 0) << run.err;
    auto list = run.document();
    std::vector<std::string> names;
    for (const auto& entry : list) {
        names.push_back(entry["name"]);
        EXPECT_EQ(entry["defaultOutput"], false);
        EXPECT_EQ(entry["available"], true);
        EXPECT_EQ(entry["backend"], "coreaudio");
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Speakers", "My VIRTUAL Cable",
                                               "Multi-Output Aggregate Device", "Unreadable Rates",
                                               "Odd Rate", "Low Rates"}));
    EXPECT_EQ(named(list, "Speakers")["virtual"], false);
    EXPECT_EQ(named(list, "My VIRTUAL Cable")["virtual"], true);
    EXPECT_EQ(named(list, "Multi-Output Aggregate Device")["virtual"], true);
    EXPECT_EQ(named(list, "Multi-Output Aggregate Device")["outputChannels"], 4);
    EXPECT_EQ(named(list, "Unreadable Rates")["sampleRates"], json::array({44100}));
    EXPECT_EQ(named(list, "Odd Rate")["sampleRates"], json::array({44100, 46000, 48000}));
    EXPECT_EQ(named(list, "Odd Rate")["preferredSampleRate"], 46000);
    EXPECT_EQ(named(list, "Low Rates")["sampleRates"], json::array({8000, 16000}));
    EXPECT_EQ(named(list, "Speakers")["stableId"], "coreaudio:speakers");
}

TEST(OutputFabricInventory, DescribesEveryDeviceWithChannels) {
    FabricProgram program;
    sim::WorldBuilder world;
    auto mic = world.addInputDevice("Mic", "mic", 2);
    world.device(mic).dataSources = {{1, "Front"}, {2, std::nullopt}};
    world.device(mic).currentSource = 2;
    world.addInputDevice("Bare Mic", "bare", 1);
    auto noCurrent = world.addInputDevice("Idle Mic", "idle", 1);
    world.device(noCurrent).dataSources = {{7, "Rear"}};
    sim::Device twoStreams = sim::Device::make("Two Streams", "two", 0, 2);
    twoStreams.streams.push_back(sim::Stream::make(sim::StreamScope::output, 6));
    world.addDevice(twoStreams);
    auto dac = world.addOutputDevice("DAC", "dac", 2);
    world.device(dac).nominalRate = 44100;
    auto& formats = world.device(dac).streams[0].availablePhysical;
    auto compressed = sim::floatFormat(6, 48000);
    compressed.mFormatID = audio::fourCharCode("ac-3");
    formats = {{sim::integerFormat(2, 48000, 24), {44100, 96000}},
               {sim::floatFormat(2, 48000), {48000, 48000}},
               {compressed, {48000, 48000}},
               {sim::floatFormat(4, 0), {8000, 22050}},
               {sim::floatFormat(1, 32000), {32000, 32000}}};
    world.addFault(readFault(dac, audio::kAudioDevicePropertyNominalSampleRate));
    world.addDevice(sim::Device::make("Silent", "silent", 0, 0));
    world.addAggregate("Pellimar Output Fabric", "org.pellimar.output-fabric", json::object(), 0,
                       4);
    world.setDefaultInput(mic);
    world.setDefaultSystemOutput(dac);
    ASSERT_TRUE(world.write(program.world()));

    auto run = program.run({"inventory", "ignored"});
    ASSERT_EQ(run.status, 0) << run.err;
    auto inventory = run.document();
    ASSERT_EQ(inventory.size(), 6u);
    EXPECT_EQ(run.out.substr(0, run.out.find("\n  },")),
              "[\n"
              "  {\n"
              "    \"defaultInput\" : true,\n"
              "    \"defaultOutput\" : false,\n"
              "    \"inputChannels\" : 2,\n"
              "    \"inputSourceId\" : 2,\n"
              "    \"inputSources\" : [\n"
              "      {\n"
              "        \"id\" : 1,\n"
              "        \"name\" : \"Front\"\n"
              "      },\n"
              "      {\n"
              "        \"id\" : 2,\n"
              "        \"name\" : \"2\"\n"
              "      }\n"
              "    ],\n"
              "    \"name\" : \"Mic\",\n"
              "    \"outputChannels\" : 0,\n"
              "    \"outputFormats\" : [\n"
              "\n"
              "    ],\n"
              "    \"sampleRate\" : 48000,\n"
              "    \"stableId\" : \"coreaudio:mic\"");
    EXPECT_FALSE(named(inventory, "Bare Mic").contains("inputSourceId"));
    EXPECT_EQ(named(inventory, "Bare Mic")["inputSources"], json::array());
    EXPECT_FALSE(named(inventory, "Idle Mic").contains("inputSourceId"));
    EXPECT_EQ(named(inventory, "Idle Mic")["inputSources"].size(), 1u);
    EXPECT_EQ(named(inventory, "Two Streams")["outputChannels"], 8);
    EXPECT_EQ(named(inventory, "Two Streams")["outputFormats"], json::array());
    const json dacEntry = named(inventory, "DAC");
    EXPECT_EQ(dacEntry["sampleRate"], 48000);  // unreadable: 48000
    EXPECT_EQ(dacEntry["defaultOutput"], true);
    EXPECT_EQ(dacEntry["outputFormats"], json::parse(R"([
        {"channels": 1, "sampleRate": 32000},
        {"channels": 2, "sampleRate": 44100}, {"channels": 2, "sampleRate": 48000},
        {"channels": 2, "sampleRate": 88200}, {"channels": 2, "sampleRate": 96000}])"));
    EXPECT_EQ(named(inventory, "Pellimar Output Fabric")["stableId"],
              "coreaudio:org.pellimar.output-fabric");
    EXPECT_TRUE(named(inventory, "Silent").is_null());
}

TEST(OutputFabricInventory, FailuresThatEndTheCommandAndThoseThatDoNot) {
    FabricProgram program;
    {
        sim::WorldBuilder empty;
        ASSERT_TRUE(empty.write(program.world()));
    }
    for (const char* command : {"list", "inventory"}) {
        auto run = program.run({command});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "[\n\n]\n");
    }

    sim::WorldBuilder world;
    auto speakers = world.addOutputDevice("Speakers", "speakers", 2);
    auto mic = world.addInputDevice("Mic", "mic", 1);
    ASSERT_TRUE(world.write(program.world()));
    auto control = program.control();

    // An unreadable name drops the device from "list" but fails "inventory" as a whole.
    ASSERT_TRUE(control.injectFault(readFault(mic, audio::kAudioObjectPropertyName)));
    EXPECT_EQ(program.run({"list"}).document().size(), 1u);
    auto run = program.run({"inventory"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, errorLine("Read string property (selector) failed (OSStatus 560947818, "
                                 "fourCC !obj)."));
    ASSERT_TRUE(control.clearFaults());

    auto streams = program.read().findDevice(speakers)->streams;
    ASSERT_TRUE(control.injectFault(
        readFault(streams[0].id, audio::kAudioStreamPropertyAvailablePhysicalFormats, -50)));
    EXPECT_EQ(program.run({"inventory"}).err,
              errorLine("Read formats failed (OSStatus -50, fourCC ----)."));
    ASSERT_TRUE(control.clearFaults());

    // Channel counts that cannot be read leave the device out of both views.
    ASSERT_TRUE(
        control.injectFault(readFault(speakers, audio::kAudioDevicePropertyStreamConfiguration)));
    EXPECT_EQ(program.run({"list"}).out, "[\n\n]\n");
    EXPECT_EQ(program.run({"inventory"}).document().size(), 1u);
    ASSERT_TRUE(control.clearFaults());

    sim::Fault list;
    list.operation = sim::FaultOperation::sizeQuery;
    list.object = 1;
    list.selector = audio::kAudioHardwarePropertyDevices;
    list.status = -50;
    list.count = -1;
    ASSERT_TRUE(control.injectFault(list));
    for (const char* command : {"list", "inventory"}) {
        run = program.run({command});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, errorLine("Read device-list size failed (OSStatus -50, fourCC ----)."));
    }
}

}  // namespace
}  // namespace pellimar::output_fabric::testing
