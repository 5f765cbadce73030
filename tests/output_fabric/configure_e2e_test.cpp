// "configure" and "restore" as the controller runs them, against simulated machines.

#include <gtest/gtest.h>

#include <cstring>

#include "output_fabric/configure.hpp"
#include "tests/output_fabric/fabric_program.hpp"

namespace pellimar::output_fabric::testing {
namespace {

using audio::AudioStreamBasicDescription;
using audio::ObjectID;
using nlohmann::json;

std::vector<std::uint8_t> unbase64(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<std::uint8_t> out;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') {
            break;
        }
        bits = (bits << 6) | std::uint32_t(alphabet.find(c));
        if ((count += 6) >= 8) {
            out.push_back(std::uint8_t(bits >> (count -= 8)));
        }
    }
    return out;
}

struct Machine : FabricProgram {
    ObjectID dac = 0, mic = 0, twin = 0;
    ObjectID dacStream = 0;
    Machine() {
        sim::WorldBuilder world;
        // One output stream, 2 channels at 48 kHz, offering 2 and 8 channels over ranges.
        sim::Device d = sim::Device::make("DAC", "dac", 0, 2);
        d.streams[0].availablePhysical = {{sim::floatFormat(2, 48000), {44100, 96000}},
                                          {sim::integerFormat(8, 48000, 24), {48000, 48000}},
                                          {sim::floatFormat(8, 48000), {44100, 96000}}};
        d.streams[0].availableVirtual = {{sim::floatFormat(2, 48000), {44100, 96000}},
                                         {sim::integerFormat(8, 48000, 24), {48000, 48000}},
                                         {sim::floatFormat(8, 48000), {44100, 96000}}};
        dac = world.addDevice(d);
        mic = world.addInputDevice("Mic", "mic", 1);
        world.device(mic).dataSources = {{1, "Front"}, {2, "Rear"}};
        world.device(mic).currentSource = 1;
        sim::Device two = sim::Device::make("Twin", "twin", 0, 2);
        two.streams.push_back(sim::Stream::make(sim::StreamScope::output, 2));
        twin = world.addDevice(two);
        EXPECT_TRUE(world.write(this->world()));
        dacStream = read().findDevice(dac)->streams[0].id;
    }
    sim::Stream stream() const { return read().findDevice(dac)->streams[0]; }
    std::optional<std::uint32_t> source() const { return read().findDevice(mic)->currentSource; }
};

TEST(OutputFabricConfigure, PrintsTheSavedStateThatRestoreTakesBack) {
    Machine m;
    const auto before = m.stream();
    auto run = m.run({"configure",
                      R"([{"stableId":"coreaudio:dac","outputChannels":8,"sampleRate":88200},
             {"stableId":"coreaudio:mic","inputSourceId":2,"sampleRate":12}])"});
    ASSERT_EQ(run.status, 0) << run.err;
    auto result = run.document();
    EXPECT_EQ(result["ok"], true);
    ASSERT_EQ(result["restore"].size(), 2u);
    const json& saved = result["restore"][0];
    EXPECT_EQ(saved["stableId"], "coreaudio:dac");
    EXPECT_FALSE(saved.contains("inputSourceId"));
    ASSERT_EQ(saved["streams"].size(), 1u);
    EXPECT_EQ(saved["streams"][0]["stream"], m.dacStream);
    for (const char* key : {"physical", "virtual"}) {
        const std::string text = saved["streams"][0][key];
        EXPECT_EQ(text.size(), 56u);
        auto bytes = unbase64(text);
        ASSERT_EQ(bytes.size(), 40u);
        EXPECT_EQ(std::memcmp(bytes.data(), &before.physical, 40), 0) << key;
    }
    EXPECT_EQ(result["restore"][1],
              json::parse(R"({"inputSourceId":1,"stableId":"coreaudio:mic","streams":[]})"));
    // The first matching description supplies the fields; the rate is the one asked for.
    const auto after = m.stream();
    EXPECT_EQ(after.physical.mChannelsPerFrame, 8u);
    EXPECT_EQ(after.physical.mFormatFlags & audio::kAudioFormatFlagIsFloat,
              audio::kAudioFormatFlagIsFloat);
    EXPECT_EQ(after.physical.mSampleRate, 88200.0);
    EXPECT_EQ(after.virtualFormat.mChannelsPerFrame, 8u);
    EXPECT_EQ(m.source(), 2u);
    EXPECT_TRUE(run.out.find("\"restore\" : [\n    {\n      \"stableId\" : \"coreaudio:dac\",") !=
                std::string::npos)
        << run.out;

    auto restored = m.run({"restore", result["restore"].dump()});
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(restored.out, "{\n  \"ok\" : true,\n  \"removed\" : false\n}\n");
    const auto restoredStream = m.stream();
    EXPECT_EQ(std::memcmp(&restoredStream.physical, &before.physical, 40), 0);
    EXPECT_EQ(std::memcmp(&restoredStream.virtualFormat, &before.virtualFormat, 40), 0);
    EXPECT_EQ(m.source(), 1u);
}

TEST(OutputFabricConfigure, RequestsThatChangeNothing) {
    Machine m;
    auto run = m.run({"configure", "[]"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "{\n  \"ok\" : true,\n  \"restore\" : [\n\n  ]\n}\n");
    run = m.run({"configure", R"([{"stableId":"coreaudio:dac","sampleRate":44100}])"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.document()["restore"],
              json::parse(R"([{"stableId":"coreaudio:dac","streams":[]}])"));
    EXPECT_EQ(m.stream().physical.mChannelsPerFrame, 2u);
}

TEST(OutputFabricConfigure, PlanningFailuresTouchNothing) {
    Machine m;
    const std::string first =
        R"({"stableId":"coreaudio:dac","outputChannels":8,"sampleRate":48000},)";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"stableId":"coreaudio:gone"})", "Audio device is unavailable: coreaudio:gone"},
        {R"({"stableId":"dac"})", "Audio device is unavailable: dac"},
        {R"({"stableId":"coreaudio:dac","outputChannels":2})",
         "Explicit output format requires one stream and a sample rate"},
        {R"({"stableId":"coreaudio:twin","outputChannels":2,"sampleRate":48000})",
         "Explicit output format requires one stream and a sample rate"},
        {R"({"stableId":"coreaudio:dac","outputChannels":-2,"sampleRate":48000})",
         "Unsupported output channel/rate combination"},
        {R"({"stableId":"coreaudio:dac","outputChannels":2,"sampleRate":192000})",
         "Unsupported output channel/rate combination"},
        {R"({"stableId":"coreaudio:mic","inputSourceId":3})", "Unsupported input source"},
        {R"({"stableId":"coreaudio:dac","inputSourceId":1})", "Unsupported input source"}};
    for (const auto& [request, message] : cases) {
        auto run = m.run({"configure", "[" + first + request + "]"});
        EXPECT_EQ(run.status, 1) << request;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, errorLine(message)) << request;
        EXPECT_EQ(m.stream().physical.mChannelsPerFrame, 2u) << request;
    }

    // A source that is offered while the device reports none current.
    ASSERT_TRUE(
        m.control().update([&](sim::World& w) { w.findDevice(m.mic)->currentSource.reset(); }));
    auto run =
        m.run({"configure", "[" + first + R"({"stableId":"coreaudio:mic","inputSourceId":2}])"});
    EXPECT_EQ(run.err, errorLine("Unsupported input source"));

    // An unreadable current format is a platform status.
    sim::Fault fault;
    fault.operation = sim::FaultOperation::read;
    fault.object = m.dacStream;
    fault.selector = audio::kAudioStreamPropertyVirtualFormat;
    fault.status = audio::kAudioHardwareBadStreamError;
    ASSERT_TRUE(m.control().injectFault(fault));
    run = m.run({"configure", "[" + first.substr(0, first.size() - 1) + "]"});
    EXPECT_EQ(run.err,
              errorLine("Read property (selector) failed (OSStatus 561214578, fourCC !str)."));
    EXPECT_EQ(m.stream().physical.mChannelsPerFrame, 2u);
}

TEST(OutputFabricConfigure, MalformedJSONFailsBeforeAnyDeviceIsTouched) {
    Machine m;
    // Any device-list read would fail: the decoder's error must come first.
    sim::Fault fault;
    fault.operation = sim::FaultOperation::sizeQuery;
    fault.object = 1;
    fault.selector = audio::kAudioHardwarePropertyDevices;
    fault.status = -50;
    fault.count = -1;
    ASSERT_TRUE(m.control().injectFault(fault));
    for (const char* command : {"configure", "restore"}) {
        for (const std::string text : {"[{", "{}", "[{\"stableId\":5}]", "[{\"streams\":[]}]"}) {
            auto run = m.run({command, text});
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "");
            EXPECT_TRUE(run.err.starts_with("[output-fabric] ")) << run.err;
            EXPECT_EQ(run.err.find("Read device-list"), std::string::npos) << run.err;
        }
    }
    EXPECT_EQ(m.run({"configure", "[]"}).status, 0);  // nothing to look up
    EXPECT_EQ(m.run({"configure", R"([{"stableId":"coreaudio:dac"}])"}).err,
              errorLine("Read device-list size failed (OSStatus -50, fourCC ----)."));
    EXPECT_EQ(m.read().faults.size(), 1u);
}

TEST(OutputFabricConfigure, ALaterFailureRestoresTheEarlierRequestsLastFirst) {
    Machine m;
    // The mic's source change never shows: the second request fails after the first applied.
    sim::Delay lag;
    lag.effect = sim::DelayEffect::dataSource;
    lag.object = m.mic;
    lag.reads = -1;
    ASSERT_TRUE(m.control().addDelay(lag));
    auto run = m.run({"configure",
                      R"([{"stableId":"coreaudio:dac","outputChannels":8,"sampleRate":48000},
                          {"stableId":"coreaudio:mic","inputSourceId":2}])"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, errorLine("Input source readback mismatch"));
    EXPECT_EQ(m.stream().physical.mChannelsPerFrame, 2u);  // the first request was undone
    EXPECT_EQ(m.source(), 1u);

    // Now the DAC's readback fails (second request) and the mic's rollback write is refused.
    // The DAC, the later request, is restored first; the mic then fails and stays changed.
    ASSERT_TRUE(m.control().update([&](sim::World& w) {
        w.delays.clear();
        w.findDevice(m.mic)->pendingSource.reset();
    }));
    sim::Fault blind;
    blind.operation = sim::FaultOperation::read;
    blind.object = m.dac;
    blind.selector = audio::kAudioDevicePropertyStreamConfiguration;
    blind.scope = audio::kAudioObjectPropertyScopeOutput;
    blind.status = audio::kAudioHardwareBadDeviceError;
    blind.count = -1;
    ASSERT_TRUE(m.control().injectFault(blind));
    sim::Fault refuse;
    refuse.operation = sim::FaultOperation::write;
    refuse.object = m.mic;
    refuse.selector = audio::kAudioDevicePropertyDataSource;
    refuse.status = audio::kAudioHardwareIllegalOperationError;
    refuse.skip = 1;  // the change itself passes
    ASSERT_TRUE(m.control().injectFault(refuse));
    run = m.run({"configure", R"([{"stableId":"coreaudio:mic","inputSourceId":2},
                                  {"stableId":"coreaudio:dac","outputChannels":8,"sampleRate":48000}])"});
    EXPECT_EQ(run.err, errorLine("Configure failed: Output channel readback mismatch; rollback "
                                 "failed: Set input source failed (OSStatus 1852797029, fourCC "
                                 "nope)."));
    EXPECT_EQ(m.stream().physical.mChannelsPerFrame, 2u);
    EXPECT_EQ(m.source(), 2u);
}

TEST(OutputFabricRestore, StopsAtTheFirstFailureWorkingFromTheEnd) {
    Machine m;
    auto run = m.run({"configure",
                      R"([{"stableId":"coreaudio:mic","inputSourceId":2},
                          {"stableId":"coreaudio:dac","outputChannels":8,"sampleRate":48000}])"});
    ASSERT_EQ(run.status, 0) << run.err;
    json saved = run.document()["restore"];
    const std::string good = saved[1]["streams"][0]["physical"];
    // 39 bytes in the first entry: the DAC (the last entry) is restored, the mic is not.
    saved[0]["streams"] = json::array(
        {{{"physical", good.substr(0, 52) + "AAA="}, {"stream", m.dacStream}, {"virtual", good}}});
    saved[0]["stableId"] = "coreaudio:dac";
    run = m.run({"restore", saved.dump()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, errorLine("Invalid saved audio format"));
    EXPECT_EQ(m.stream().physical.mChannelsPerFrame, 2u);
    EXPECT_EQ(m.source(), 2u);

    const std::vector<std::pair<json, std::string>> cases = {
        {json::parse(R"([{"stableId":"coreaudio:mic","streams":[],"inputSourceId":9}])"),
         "Input source is unavailable"},
        {json::parse(R"([{"stableId":"coreaudio:gone","streams":[]}])"),
         "Audio device is unavailable: coreaudio:gone"},
        {json{{{"stableId", "coreaudio:twin"},
               {"streams", {{{"physical", good}, {"stream", m.dacStream}, {"virtual", good}}}}}},
         "Output stream changed during rollback"}};
    for (const auto& [list, message] : cases) {
        EXPECT_EQ(m.run({"restore", list.dump()}).err, errorLine(message));
    }
    // A saved format the platform no longer accepts for the stream.
    const std::string text = formatText(sim::floatFormat(1, 48000));
    ASSERT_EQ(unbase64(text).size(), 40u);
    json refused = {
        {{"stableId", "coreaudio:dac"},
         {"streams", {{{"physical", text}, {"stream", m.dacStream}, {"virtual", text}}}}}};
    EXPECT_EQ(m.run({"restore", refused.dump()}).err,
              errorLine("Set stream format failed (OSStatus 560226676, fourCC !dat)."));
}

}  // namespace
}  // namespace pellimar::output_fabric::testing
