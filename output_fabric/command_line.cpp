#include "output_fabric/command_line.hpp"

#include <unistd.h>

#include "output_fabric/configure.hpp"
#include "output_fabric/fabric.hpp"
#include "output_fabric/inventory.hpp"
#include "platform/common/write_all.hpp"
#include "platform/json/pretty_json.hpp"

namespace pellimar::output_fabric {
namespace {

using nlohmann::json;

json removeResult(bool removed) {
    return {{"ok", true}, {"removed", removed}};
}

}  // namespace

Fallible<json> runCommand(const std::vector<std::string>& arguments, const SystemOpener& openSystem,
                          const Pauses& pauses) {
    const std::string command = arguments.empty() ? "list" : arguments.front();
    const bool oneJSONArgument = arguments.size() == 2;
    programLog().detail(LogLevel::debug, "Command: " + command + ".");
    auto system = [&]() -> Fallible<AudioSystem*> {
        auto opened = openSystem();
        if (!opened) {
            return fail(FabricError::message(opened.error()));
        }
        return *opened;
    };
    if (command == "list" || command == "inventory") {
        auto opened = system();
        if (!opened) {
            return fail(opened.error());
        }
        return command == "list" ? outputDeviceList(**opened) : controlInventory(**opened);
    }
    if (command == "configure") {
        if (!oneJSONArgument) {
            return fail(FabricError::usage("configure JSON required"));
        }
        // Decoded before the audio system is touched at all.
        auto requests = decodeControlRequests(arguments[1]);
        if (!requests) {
            return fail(requests.error());
        }
        auto opened = system();
        if (!opened) {
            return fail(opened.error());
        }
        return configure(**opened, *requests, pauses);
    }
    if (command == "restore") {
        if (!oneJSONArgument) {
            return fail(FabricError::usage("restore JSON required"));
        }
        auto list = decodeControlRestores(arguments[1]);
        if (!list) {
            return fail(list.error());
        }
        auto opened = system();
        if (!opened) {
            return fail(opened.error());
        }
        if (auto restored = restore(**opened, *list); !restored) {
            return fail(restored.error());
        }
        return removeResult(false);
    }
    if (command == "ensure" && !oneJSONArgument) {
        return fail(FabricError::usage(std::string(kUsageText)));
    }
    if (command != "ensure" && command != "remove") {
        return fail(FabricError::usage(std::string(kUsageText)));
    }
    auto opened = system();
    if (!opened) {
        return fail(opened.error());
    }
    if (command == "ensure") {
        return ensure(**opened, arguments[1], pauses);
    }
    // Removing is idempotent for the controller: whatever stood in the way, the answer is ok.
    if (auto removed = destroyExistingAggregate(**opened); !removed) {
        programLog().detail(LogLevel::warning, "Remove: " + removed.error().description());
    }
    return removeResult(true);
}

int runOutputFabric(const std::vector<std::string>& arguments, const SystemOpener& openSystem,
                    const Pauses& pauses) {
    auto document = runCommand(arguments, openSystem, pauses);
    if (!document) {
        programLog().write(LogLevel::error, document.error().description());
        return 1;
    }
    // A document that cannot be encoded fails the command; nothing reaches standard output.
    auto text = pellimar::json::pretty(*document);
    if (!text) {
        programLog().write(LogLevel::error, text.error());
        return 1;
    }
    writeAll(STDOUT_FILENO, *text);
    writeAll(STDOUT_FILENO, "\n");
    return 0;
}

}  // namespace pellimar::output_fabric
