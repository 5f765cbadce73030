#include "process_tap/command_line.hpp"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <memory>

#include "platform/common/write_all.hpp"
#include "platform/json/pretty_json.hpp"
#include "platform/run_loop/run_loop.hpp"
#include "process_tap/process_inventory.hpp"
#include "process_tap/tap_runtime.hpp"

namespace pellimar::process_tap {
namespace {

// Re-aims the taps at the current processes; an unreadable inventory waits for the next try. A
// capture whose objects are gone cannot recover: the reason, for the caller to end the run with.
std::optional<std::string> refresh(AudioSystem& system, TapRuntime& runtime) {
    if (auto lost = runtime.lostReason()) {
        return lost;
    }
    auto inventory = processes(system);
    if (inventory) {
        runtime.update(*inventory);
    }
    return std::nullopt;
}

// The SIGINT and SIGTERM sources of a run. A controller may repeat its signal while the capture
// stops or after it, up to the exit, and must still see status 0; but a source hands its signal
// back to the default action when it goes. So the signals are blocked before the sources go and
// ignored afterwards, for the rest of the process.
class StopSignals {
  public:
    StopSignals(RunLoop& loop, const std::function<void(int)>& handler) {
        std::signal(SIGINT, SIG_IGN);
        std::signal(SIGTERM, SIG_IGN);
        interrupt_ = loop.watchSignals({SIGINT}, handler);
        terminate_ = loop.watchSignals({SIGTERM}, handler);
    }
    ~StopSignals() {
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        interrupt_.reset();
        terminate_.reset();
        std::signal(SIGINT, SIG_IGN);
        std::signal(SIGTERM, SIG_IGN);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    std::unique_ptr<SignalSource> interrupt_;
    std::unique_ptr<SignalSource> terminate_;
};

int run(const RunOptions& options, const std::vector<ProcessInfo>& inventory, AudioSystem& system,
        RunLoop& loop) {
    TapRuntime runtime(system, options.slotBundleIDs, options.liveInputName);
    auto info = runtime.start(inventory);
    if (!info) {
        runtime.stop();
        programLog().write(LogLevel::error, info.error().description());
        return 1;
    }
    if (auto printed = printDocument(toJson(*info)); !printed) {
        runtime.stop();
        programLog().write(LogLevel::error, printed.error());
        return 1;
    }

    int status = 0;
    auto refreshOrEnd = [&] {
        if (status != 0) {
            return;
        }
        if (auto lost = refresh(system, runtime)) {
            programLog().write(LogLevel::error, *lost);
            runtime.stop();
            status = 1;
            loop.stop();
        }
    };
    audio::ListenerID listener = 0;
    const Status listenerStatus = system.addPropertyListener(
        systemObject, audio_objects::globalAddress(audio::kAudioHardwarePropertyProcessObjectList),
        loop.context(),
        [&](ObjectID, const std::vector<audio::AudioObjectPropertyAddress>&) { refreshOrEnd(); },
        listener);
    auto timer = loop.scheduleRepeating(std::chrono::seconds(1), refreshOrEnd);
    std::vector<audio::ListenerID> tapListeners;
    for (ObjectID tap : runtime.tapIDs()) {
        audio::ListenerID id = 0;
        if (system.addPropertyListener(
                tap, audio_objects::globalAddress(audio::kAudioTapPropertyDescription),
                loop.context(),
                [&](ObjectID, const std::vector<audio::AudioObjectPropertyAddress>&) {
                    auto inventory = processes(system);
                    runtime.reportMovedAway(inventory ? *inventory : std::vector<ProcessInfo>{});
                },
                id) == 0) {
            tapListeners.push_back(id);
        }
    }

    const StopSignals signals(loop, [&](int) {
        runtime.stop();
        loop.stop();
    });

    loop.run();
    if (listenerStatus == 0) {
        (void)system.removePropertyListener(listener);
    }
    for (audio::ListenerID id : tapListeners) {
        (void)system.removePropertyListener(id);
    }
    return status;
}

}  // namespace

const std::vector<std::string>& defaultSlotBundleIDs() {
    static const std::vector<std::string> kDefaults = {"com.google.Chrome", "com.apple.Safari",
                                                       "org.videolan.vlc", "com.apple.Music"};
    return kDefaults;
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
        programLog().write(LogLevel::error, inventory.error().description());
        return 1;
    }
    const std::string command = arguments.empty() ? "list" : arguments.front();
    if (command == "list") {
        if (auto printed = printDocument(toJson(*inventory)); !printed) {
            programLog().write(LogLevel::error, printed.error());
            return 1;
        }
        return 0;
    }
    if (command != "run") {
        programLog().write(LogLevel::error, TapError::usage(std::string(kUsageText)).description());
        return 1;
    }
    auto options = parseRunArguments({arguments.begin() + 1, arguments.end()});
    if (!options) {
        programLog().write(LogLevel::error, options.error().description());
        return 1;
    }
    return run(*options, *inventory, system, loop);
}

}  // namespace pellimar::process_tap
