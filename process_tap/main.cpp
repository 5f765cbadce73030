#include <string>
#include <vector>

#include "platform/audio_system/audio_system.hpp"
#include "platform/common/standard_fds.hpp"
#include "platform/run_loop/run_loop.hpp"
#include "process_tap/capture.hpp"
#include "process_tap/command_line.hpp"

int main(int argc, char** argv) {
    pellimar::ensureStandardDescriptors();
    // Says at once when PELLIMAR_LOG is not understood.
    (void)pellimar::process_tap::programLog();
    // Declared first so that it outlives the audio system, whose listeners it carries.
    pellimar::RunLoop loop;
    auto system = pellimar::audio::openAudioSystem();
    if (!system) {
        pellimar::process_tap::programLog().write(pellimar::LogLevel::error, system.error());
        return 1;
    }
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return pellimar::process_tap::runProcessTap(arguments, **system, loop);
}
