#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "output_fabric/command_line.hpp"
#include "platform/common/standard_fds.hpp"
#include "platform/run_loop/run_loop.hpp"

int main(int argc, char** argv) {
    pellimar::ensureStandardDescriptors();
    // Says at once when PELLIMAR_LOG is not understood.
    (void)pellimar::output_fabric::programLog();
    using namespace pellimar::output_fabric;
    // Declared first so that it outlives the audio system, which may deliver to it.
    pellimar::RunLoop loop;
    std::unique_ptr<pellimar::audio::AudioSystem> system;
    const SystemOpener open = [&]() -> pellimar::Result<AudioSystem*, std::string> {
        if (!system) {
            auto opened = pellimar::audio::openAudioSystem();
            if (!opened) {
                return pellimar::fail(opened.error());
            }
            system = std::move(*opened);
        }
        return system.get();
    };
    const Pauses pauses{
        [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); },
        [&](std::chrono::milliseconds duration) { loop.runFor(duration); }};
    return runOutputFabric(std::vector<std::string>(argv + 1, argv + argc), open, pauses);
}
