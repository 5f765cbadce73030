#include "process_tap/command_line.hpp"

#include <unistd.h>

#include <chrono>
#include <csignal>

#include "platform/json/pretty_json.hpp"
#include "platform/run_loop/run_loop.hpp"
#include "process_tap/process_inventory.hpp"
#include "process_tap/tap_runtime.hpp"

namespace pellimar::process_tap {
namespace {

// Re-aims the taps at the current processes; an unreadable inventory waits for the next try.
void refresh(AudioSystem& system, TapRuntime& runtime) {
    auto inventory = processes(system);
    if (inventory) {
        runtime.update(*inventory);
    }
}

int run(const RunOptions& options, const std::vector<ProcessInfo>& inventory, AudioSystem& system,
        RunLoop& loop) {
    TapRuntime runtime(system, options.slotBundleIDs, options.liveInputName);
    auto info = runtime.start(inventory);
    if (!info) {
        runtime.stop();
        logLine(info.error().description());
        return 1;
    }
    if (auto printed = printDocument(toJson(*info)); !printed) {
        runtime.stop();
        logLine(printed.error());
        return 1;
    }

    audio::ListenerID listener = 0;
    const Status listenerStatus = system.addPropertyListener(
        systemObject, audio_objects::globalAddress(audio::kAudioHardwarePropertyProcessObjectList),
        loop.context(),
        [&](ObjectID, const std::vector<audio::AudioObjectPropertyAddress>&) {
            refresh(system, runtime);
        },
        listener);
    auto timer = loop.scheduleRepeating(std::chrono::seconds(1), [&] { refresh(system, runtime); });

    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, SIG_IGN);
    auto stopOnSignal = [&](int) {
        runtime.stop();
        loop.stop();
    };
    auto interrupt = loop.watchSignals({SIGINT}, stopOnSignal);
    auto terminate = loop.watchSignals({SIGTERM}, stopOnSignal);

    loop.run();
    if (listenerStatus == 0) {
        (void)system.removePropertyListener(listener);
    }
    return 0;
}

}  // namespace

const std::vector<std::string>& defaultSlotBundleIDs() {
    static const std::vector<std::string> defaults = {"com.google.Chrome", "com.apple.Safari",
                                                      "org.videolan.vlc", "com.apple.Music"};
    return defaults;
}

Result<RunOptions, TapError> parseRunArguments(const std::vector<std::string>& arguments) {
    RunOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--live-input-name") {
            if (i + 1 >= arguments.size()) {
                return fail(TapError::usage("Missing value for --live-input-name"));
            }
            options.liveInputName = arguments[++i];
        } else {
            options.slotBundleIDs.push_back(arguments[i]);
        }
    }
    if (options.slotBundleIDs.empty()) {
        options.slotBundleIDs = defaultSlotBundleIDs();
    }
    return options;
}

Result<void, std::string> printDocument(const nlohmann::json& document) {
    auto text = json::pretty(document);
    if (!text) {
        return fail(text.error());
    }
    writeAll(STDOUT_FILENO, *text);
    writeAll(STDOUT_FILENO, "\n");
    return {};
}

int runProcessTap(const std::vector<std::string>& arguments, AudioSystem& system, RunLoop& loop) {
    auto inventory = processes(system);
    if (!inventory) {
        logLine(inventory.error().description());
        return 1;
    }
    const std::string command = arguments.empty() ? "list" : arguments.front();
    if (command == "list") {
        if (auto printed = printDocument(toJson(*inventory)); !printed) {
            logLine(printed.error());
            return 1;
        }
        return 0;
    }
    if (command != "run") {
        logLine(TapError::usage(std::string(usageText)).description());
        return 1;
    }
    auto options = parseRunArguments({arguments.begin() + 1, arguments.end()});
    if (!options) {
        logLine(options.error().description());
        return 1;
    }
    return run(*options, *inventory, system, loop);
}

}  // namespace pellimar::process_tap
