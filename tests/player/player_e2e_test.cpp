#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include <nlohmann/json.hpp>

#include "tests/player/e2e_support.hpp"
#include "tests/support/journal_stream.hpp"

namespace pellimar::testing {
namespace {

using namespace std::chrono_literals;

const std::string kUsage =
    "[pellimar-player] Usage: pellimar-player --url <https://\u2026> | --file <absolute-path>\n";
const std::string kHttpsOnly = "[pellimar-player] Stream URL must be https://\u2026\n";
const std::string kAbsoluteOnly = "[pellimar-player] Local player paths must be absolute.\n";

// A stand-in decoder: records its arguments, then does what `body` says.
std::string fakeDecoder(PlayerWorld& world, const std::string& name, const std::string& body) {
    const std::string path = world.dir / name;
    writeText(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + (world.dir / "args.txt") + "'\n" +
                        body + "\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        result.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return result;
}

TEST(PlayerCommandLine, CapabilitiesWinOverEverything) {
    PlayerWorld world;
    EXPECT_EQ(world.run({"--url", "https://example.invalid/a", "--capabilities"}), 0);
    EXPECT_EQ(world.out(), "{\"agc\":1,\"sampleRate\":48000,\"channels\":2}\n");
    EXPECT_EQ(world.err(), "");
}

TEST(PlayerCommandLine, UsageAndSourceValidation) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, kUsage},
        {{"--url"}, kUsage},
        {{"--verbose", "x"}, kUsage},
        {{"--url", "http://example.invalid/stream"}, kHttpsOnly},
        {{"--url", "example.invalid/stream"}, kHttpsOnly},
        {{"--url", "--file", "/tmp/a.wav"}, kHttpsOnly},
        {{"--url", "http://a", "--url", "https://b"}, kHttpsOnly},
        {{"--file", "relative/a.wav"}, kAbsoluteOnly},
        {{"--file", ""}, kAbsoluteOnly},
    };
    for (const auto& [arguments, message] : cases) {
        PlayerWorld world;
        EXPECT_EQ(world.run(arguments), 1);
        EXPECT_EQ(world.err(), message);
        EXPECT_EQ(world.out(), "");
    }
}

TEST(PlayerDecoder, ArgumentsAndTheDecoderText) {
    PlayerWorld world;
    world.set(
        "PELLIMAR_FFMPEG",
        fakeDecoder(world, "fake", "echo '  \n  could not open input: boom  \n' >&2; exit 1"));
    EXPECT_EQ(world.run({"--url", "HTTPS://example.invalid/live?x=1", "--file", "/ignored"}), 1);
    EXPECT_EQ(world.err(), "[pellimar-player] could not open input: boom\n");
    EXPECT_EQ(lines(readText(world.dir / "args.txt")),
              (std::vector<std::string>{"-hide_banner",
                                        "-loglevel",
                                        "error",
                                        "-reconnect",
                                        "1",
                                        "-reconnect_streamed",
                                        "1",
                                        "-reconnect_on_network_error",
                                        "1",
                                        "-reconnect_delay_max",
                                        "5",
                                        "-tls_verify",
                                        "1",
                                        "-ca_file",
                                        "/etc/ssl/certs/ca-certificates.crt",
                                        "-i",
                                        "HTTPS://example.invalid/live?x=1",
                                        "-f",
                                        "s16le",
                                        "-acodec",
                                        "pcm_s16le",
                                        "-ac",
                                        "2",
                                        "-ar",
                                        "48000",
                                        "-"}));

    // Another set of certificate authorities for https.
    world.set("PELLIMAR_PLAYER_CA_FILE", "/etc/pellimar/ca.pem");
    EXPECT_EQ(world.run({"--url", "https://example.invalid/a"}), 1);
    const auto args = lines(readText(world.dir / "args.txt"));
    EXPECT_EQ(
        std::vector<std::string>(args.begin() + 11, args.begin() + 16),
        (std::vector<std::string>{"-tls_verify", "1", "-ca_file", "/etc/pellimar/ca.pem", "-i"}));

    // "--url" as the last argument leaves the file to play; files get no reconnect or
    // certificate options.
    EXPECT_EQ(world.run({"--file", "/some/file.mp3", "--url"}), 1);
    EXPECT_EQ(lines(readText(world.dir / "args.txt")),
              (std::vector<std::string>{"-hide_banner", "-loglevel", "error", "-i",
                                        "/some/file.mp3", "-f", "s16le", "-acodec", "pcm_s16le",
                                        "-ac", "2", "-ar", "48000", "-"}));
}

TEST(PlayerDecoder, SearchSkipsANonExecutableOverride) {
    PlayerWorld world;
    const std::string notExecutable = world.dir / "not-executable";
    writeText(notExecutable, "#!/bin/sh\nexit 0\n");
    world.set("PELLIMAR_FFMPEG", notExecutable);
    std::filesystem::create_directories(world.dir / "home/Pellimar/Runtime");
    const std::string runtime = fakeDecoder(world, "home/Pellimar/Runtime/ffmpeg", "exit 1");
    EXPECT_EQ(world.run({"--file", "/a.wav"}), 1);
    EXPECT_EQ(world.err(), "[pellimar-player] Stream produced no audio.\n");
    EXPECT_TRUE(std::filesystem::exists(world.dir / "args.txt"));
}

TEST(PlayerDecoder, ExitStatusWithoutTextAfterAudio) {
    PlayerWorld world;
    world.set("PELLIMAR_FFMPEG", fakeDecoder(world, "fake", "head -c 20000 /dev/zero; exit 3"));
    EXPECT_EQ(world.run({"--file", "/a.wav"}), 1);
    const auto err = lines(world.err());
    ASSERT_EQ(err.size(), 2u);
    EXPECT_EQ(err[0], "[pellimar-player] progressive file \u2192 stereo AudioQueue @ 48000 Hz");
    EXPECT_EQ(err[1], "[pellimar-player] ffmpeg exited with status 3.");
}

TEST(PlayerDecoder, ConnectionTextFailsAUrlButNotAFile) {
    PlayerWorld world;
    world.set("PELLIMAR_FFMPEG",
              fakeDecoder(world, "fake",
                          "head -c 30000 /dev/zero; echo 'tcp: Connection Timed Out' >&2; exit 0"));
    EXPECT_EQ(world.run({"--url", "https://example.invalid/a"}), 1);
    EXPECT_EQ(lines(world.err()).back(),
              "[pellimar-player] Incomplete media stream; automatic restart disabled.");
    EXPECT_EQ(world.run({"--file", "/a.wav"}), 0);
}

TEST(PlayerDecoder, IncompleteStreamWordsCountAnywhereAndTheLineStaysBounded) {
    PlayerWorld world;
    // The words come first, then more text than any line should carry.
    world.set("PELLIMAR_FFMPEG",
              fakeDecoder(world, "fake",
                          "head -c 30000 /dev/zero; echo 'https://a: Stream ends prematurely' >&2; "
                          "head -c 2000000 /dev/zero | tr '\\0' x >&2; exit 1"));
    EXPECT_EQ(world.run({"--url", "https://example.invalid/a"}), 1);
    EXPECT_EQ(lines(world.err()).back(),
              "[pellimar-player] Incomplete media stream; automatic restart disabled.");

    // A file source prints the decoder's text, but only its end.
    EXPECT_EQ(world.run({"--file", "/a.wav"}), 1);
    const std::string last = lines(world.err()).back();
    EXPECT_LE(last.size(), std::size_t(70 * 1024));
    EXPECT_EQ(last.rfind("[pellimar-player] \u2026xxx", 0), 0u) << last.substr(0, 80);
    EXPECT_EQ(last.find("Stream ends prematurely"), std::string::npos);
}

TEST(PlayerDecoder, SourceShorterThanThePrebufferPlaysWhole) {
    PlayerWorld world;
    const std::string sent = world.dir / "sent.raw";
    // Odd length: the stray partial frame at the end is played padded, not lost.
    world.set("PELLIMAR_FFMPEG",
              fakeDecoder(world, "fake", "head -c 8002 /dev/urandom | tee '" + sent + "'"));
    EXPECT_EQ(world.run({"--file", "/a.wav"}), 0);
    std::string bytes = readText(sent);
    ASSERT_EQ(bytes.size(), 8002u);
    bytes.append(2, '\0');
    std::vector<std::int16_t> expected(bytes.size() / 2);
    std::memcpy(expected.data(), bytes.data(), bytes.size());
    EXPECT_EQ(world.recorded(), expected);
}

TEST(PlayerDecoder, NoDecoderFound) {
    if (!shell("unshare -rm true 2>/dev/null")) {
        GTEST_SKIP() << "needs a private mount namespace to hide /usr/bin/ffmpeg";
    }
    PlayerWorld world;
    EXPECT_EQ(world.run({"--file", "/a.wav"},
                        {"unshare", "-rm", "sh", "-c",
                         "mount --bind /dev/null /usr/bin/ffmpeg && exec \"$0\" \"$@\""}),
              1);
    EXPECT_EQ(world.err(), "[pellimar-player] ffmpeg not found for player decode.\n");
}

TEST(PlayerDecoder, RealDecoderFailureCarriesItsText) {
    PlayerWorld world;
    EXPECT_EQ(world.run({"--file", world.dir / "missing.wav"}), 1);
    const auto err = lines(world.err());
    ASSERT_EQ(err.size(), 1u);
    EXPECT_NE(err[0].find("No such file or directory"), std::string::npos) << err[0];
    EXPECT_EQ(err[0].rfind("[pellimar-player] ", 0), 0u);
}

TEST(PlayerPlayback, LocalFileIsHeardExactlyWithTheGainControlOff) {
    PlayerWorld world;
    const std::string input = world.makeTone("tone.wav", 2.5);
    world.set("PELLIMAR_AGC_STATUS", world.dir / "status.json");
    EXPECT_EQ(world.run({"--file", input}), 0);
    EXPECT_EQ(world.err(),
              "[pellimar-player] progressive file \u2192 stereo AudioQueue @ 48000 Hz\n");
    EXPECT_EQ(world.out(), "");
    const auto reference = world.decode(input);
    ASSERT_EQ(reference.size(), std::size_t(2.5 * 48000 * 2));
    EXPECT_EQ(withoutSilentFrames(world.recorded()), withoutSilentFrames(reference));

    const auto status = nlohmann::json::parse(readText(world.dir / "status.json"));
    EXPECT_EQ(status["revision"], -1);
    EXPECT_EQ(status["enabled"], false);
    ASSERT_TRUE(status.contains("rawInput"));
    EXPECT_GT(status["rawInput"]["channels"][0]["rmsDb"].get<double>(), -20);
}

TEST(PlayerPlayback, ConfigurationWrittenMidPlayTakesEffect) {
    PlayerWorld world;
    const std::string input = world.makeTone("tone.wav", 4);
    const std::string config = world.dir / "agc.json";
    const std::string status = world.dir / "status.json";
    world.set("PELLIMAR_AGC_CONFIG", config);
    world.set("PELLIMAR_AGC_STATUS", status);
    world.set("PELLIMAR_AGC_GENERATION", "g1");
    const pid_t pid = world.start({"--file", input});

    auto readStatus = [&] {
        const auto j = nlohmann::json::parse(readText(status), nullptr, false);
        return j.is_object() ? j : nlohmann::json::object();
    };
    ASSERT_TRUE(eventually([&] { return readStatus().contains("rawInput"); }, 60s));
    EXPECT_EQ(readStatus()["revision"], -1);

    // While it plays, the player is listed as a running audio process under its identifier.
    auto listed = [&] {
        const auto system =
            nlohmann::json::parse(readText(world.dir / "world.json"), nullptr, false);
        if (!system.is_object() || !system.contains("processes")) {
            return false;
        }
        for (const auto& process : system["processes"]) {
            if (process.value("pid", 0) == pid &&
                process.value("bundleID", nlohmann::json()) == "org.pellimar.player.4" &&
                process.value("running", false)) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(eventually(listed, 30s));
    EXPECT_EQ(readStatus()["generation"], "g1");

    nlohmann::json envelope = {{"revision", 7},
                               {"config",
                                {{"enabled", true},
                                 {"targetRmsDb", -20},
                                 {"maxBoostDb", 12},
                                 {"maxAttenuationDb", 24},
                                 {"windowMs", 3000},
                                 {"deadbandDb", 1},
                                 {"riseDbPerSecond", 1},
                                 {"fallDbPerSecond", 12},
                                 {"silenceDb", -60},
                                 {"hysteresisDb", 3},
                                 {"holdMs", 1000},
                                 {"peakCeilingDb", -1.5}}}};
    writeText(config + ".new", envelope.dump());
    std::filesystem::rename(config + ".new", config);
    ASSERT_TRUE(eventually([&] { return readStatus()["revision"] == 7; }, 60s));
    const auto j = readStatus();
    EXPECT_EQ(j["enabled"], true);
    EXPECT_TRUE(j["status"] == "armed" || j["status"] == "active" || j["status"] == "hold");
    EXPECT_EQ(world.wait(pid), 0);
}

TEST(PlayerPlayback, SigtermDuringPlaybackEndsCleanly) {
    PlayerWorld world;
    const std::string input = world.makeTone("long.wav", 30);
    const pid_t pid = world.start({"--file", input});
    ASSERT_TRUE(
        eventually([&] { return world.err().find("progressive") != std::string::npos; }, 60s));
    ::kill(pid, SIGTERM);
    EXPECT_EQ(world.wait(pid, 60s), 0);
    EXPECT_EQ(lines(world.err()).size(), 1u) << world.err();
    EXPECT_LT(world.recorded().size(), std::size_t(20 * 48000 * 2));
}

TEST(PlayerPlayback, StartedWithStandardDescriptorsClosedItStillPlaysAndStops) {
    // Without its standard descriptors the player's own pipes and watchers would take those
    // numbers, and its log line would land in one of them.
    for (const std::vector<int>& closed : {std::vector<int>{1, 2}, std::vector<int>{0, 1, 2}}) {
        PlayerWorld world;
        const std::string input = world.makeTone("long.wav", 30);
        const std::string status = world.dir / "status.json";
        world.set("PELLIMAR_AGC_STATUS", status);
        world.closeAtStart(closed);
        const pid_t pid = world.start({"--file", input});
        // Status with measurements is written only once the output is playing.
        ASSERT_TRUE(eventually(
            [&] {
                const auto j = nlohmann::json::parse(readText(status), nullptr, false);
                return j.is_object() && j.contains("rawInput");
            },
            60s));
        for (int fd = 0; fd <= 2; ++fd) {
            std::error_code error;
            const auto target = std::filesystem::read_symlink(
                "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), error);
            EXPECT_EQ(target.string(), "/dev/null") << "descriptor " << fd;
        }
        ::kill(pid, SIGTERM);
        EXPECT_EQ(world.wait(pid, 60s), 0);
        const auto recorded = world.recorded();
        EXPECT_LT(recorded.size(), std::size_t(20 * 48000 * 2));
        const auto reference = withoutSilentFrames(world.decode(input));
        const auto played = withoutSilentFrames(recorded);
        ASSERT_LE(played.size(), reference.size());
        EXPECT_TRUE(std::equal(played.begin(), played.end(), reference.begin()));
    }
}

// A decoder that lets the first terminate request pass and keeps writing PCM.
std::string stubbornDecoder(PlayerWorld& world, const std::string& ignore) {
    return fakeDecoder(world, "stubborn",
                       "echo $$ > '" + (world.dir / "decoder.pid") + "'\n" + ignore +
                           "\nwhile :; do head -c 65536 /dev/zero; done");
}

bool decoderGone(PlayerWorld& world) {
    const pid_t decoder = std::stoi(readText(world.dir / "decoder.pid"));
    return ::kill(decoder, 0) != 0 && errno == ESRCH;
}

TEST(PlayerFailure, OutputThatCannotBeOpenedEndsTheDecoderAndTheRun) {
    const std::vector<std::pair<std::string, std::string>> broken = {
        {"PELLIMAR_AUDIO_SYSTEM", "world is not json"},
        {"PELLIMAR_AUDIO_BACKEND", "no-such-backend"},
    };
    for (const auto& [variable, value] : broken) {
        SCOPED_TRACE(variable);
        PlayerWorld world;
        if (variable == "PELLIMAR_AUDIO_SYSTEM") {
            writeText(world.dir / "world.json", value);
        } else {
            world.set(variable, value);
        }
        world.set("PELLIMAR_FFMPEG", stubbornDecoder(world, "trap 'trap - TERM' TERM"));
        EXPECT_EQ(world.run({"--file", "/a.wav"}), 1);
        const auto err = lines(world.err());
        ASSERT_EQ(err.size(), 1u) << world.err();
        EXPECT_EQ(err[0].rfind("[pellimar-player] AudioQueueNewOutput failed (", 0), 0u) << err[0];
        EXPECT_TRUE(decoderGone(world));
    }
}

TEST(PlayerPlayback, SigtermEndsTheRunEvenWhenTheDecoderIgnoresIt) {
    PlayerWorld world;
    world.set("PELLIMAR_FFMPEG", stubbornDecoder(world, "trap '' TERM"));
    world.set("PELLIMAR_AGC_STATUS", world.dir / "status.json");
    const pid_t pid = world.start({"--url", "https://example.invalid/a"});
    ASSERT_TRUE(
        eventually([&] { return world.err().find("progressive") != std::string::npos; }, 60s));
    ::kill(pid, SIGTERM);
    EXPECT_EQ(world.wait(pid, 60s), 0);
    EXPECT_EQ(lines(world.err()).size(), 1u) << world.err();
    EXPECT_TRUE(decoderGone(world));
}

TEST(PlayerPlayback, SigintDuringPrebufferWithNothingDecodedFails) {
    PlayerWorld world;
    world.set("PELLIMAR_FFMPEG", fakeDecoder(world, "fake", "exec sleep 30"));
    const pid_t pid = world.start({"--url", "https://example.invalid/a"});
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(world.dir / "args.txt"); }, 60s));
    ::kill(pid, SIGINT);
    EXPECT_EQ(world.wait(pid, 60s), 1);
    EXPECT_EQ(world.err(), "[pellimar-player] Stream produced no audio.\n");
}

TEST(PlayerLog, DebugSaysTheDecoderAndTheOutputWithJournalPriorities) {
    PlayerWorld world;
    const std::string decoder = fakeDecoder(world, "fake", "head -c 8000 /dev/zero");
    world.set("PELLIMAR_FFMPEG", decoder);
    world.set("PELLIMAR_LOG", "debug");
    world.set("JOURNAL_STREAM", journalStreamFor(world.dir / "stderr.txt"));
    EXPECT_EQ(world.run({"--file", "/a.wav"}), 0);
    const std::string err = world.err();
    EXPECT_NE(err.find("<7>[pellimar-player] Decoder: " + decoder +
                       " -hide_banner -loglevel error -i /a.wav -f s16le -acodec pcm_s16le -ac 2 "
                       "-ar 48000 -\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(std::regex_search(
        err, std::regex(R"(\n<7>\[pellimar-player\] Prebuffered \d+ bytes\.\n)"
                        R"(<6>\[pellimar-player\] Output: 48000 Hz, 2 channels, 16-bit integer, )"
                        R"(4 buffers of 4096 frames, on the default device \d+ \(.+\)\.\n)"
                        "<6>\\[pellimar-player\\] progressive file \u2192 stereo AudioQueue @ "
                        "48000 Hz\n")))
        << err;
    EXPECT_TRUE(err.ends_with("<7>[pellimar-player] Decoder ended with status 0.\n")) << err;
    EXPECT_EQ(world.out(), "");

    world.set("PELLIMAR_LOG", "info");
    EXPECT_EQ(world.run({"--file", "/a.wav"}), 0);
    EXPECT_EQ(world.err().find("Decoder"), std::string::npos) << world.err();
    EXPECT_NE(world.err().find("<6>[pellimar-player] Output: "), std::string::npos);
    EXPECT_EQ(world.run({}), 1);
    EXPECT_EQ(world.err(), "<3>" + kUsage);
}

TEST(PlayerLog, ValueNotUnderstoodIsSaidOnceAndLogsAsUnset) {
    PlayerWorld world;
    world.set("PELLIMAR_LOG", "trace");
    EXPECT_EQ(world.run({}), 1);
    EXPECT_EQ(world.err(),
              "[pellimar-player] PELLIMAR_LOG=trace is not info or debug; logging as if unset.\n" +
                  kUsage);
}

}  // namespace
}  // namespace pellimar::testing
