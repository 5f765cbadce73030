#pragma once
// Runs the built pellimar-output-fabric against a simulated audio system of the test's own.

#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sim/world.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/journal_stream.hpp"
#include "tests/support/temp_dir.hpp"

namespace pellimar::output_fabric::testing {

namespace sim = audio::sim;

struct Run {
    int status = -1;
    std::string out;
    std::string err;
    nlohmann::json document() const { return nlohmann::json::parse(out); }
};

class FabricProgram {
  public:
    const std::string& world() const { return world_; }
    std::string file(const std::string& name) const { return dir_.file(name); }
    sim::WorldControl control() const { return sim::WorldControl(world_); }
    sim::World read() const { return control().read().value(); }

    Run run(const std::vector<std::string>& arguments) const {
        std::vector<std::string> argv = {PELLIMAR_BIN_DIR "/pellimar-output-fabric"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const std::string out = dir_.file("stdout"), err = dir_.file("stderr");
        Run run;
        const pid_t pid = pellimar::testing::spawnChild(
            {.argv = argv,
             .environment = pellimar::testing::environmentWith(
                 pellimar::testing::withEntries({{"PELLIMAR_AUDIO_SYSTEM", world_}}, environment),
                 "PELLIMAR_AUDIO_SYSTEM="),
             .input = "/dev/null",
             .output = out,
             .error = err});
        if (pid > 0) {
            const int status = *pellimar::testing::waitChild(pid);
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        run.out = readFile(out);
        run.err = readFile(err);
        return run;
    }

    // Added to the program's environment, ahead of the test's own.
    std::vector<std::string> environment;
    // Makes the next run's standard error the journal, as far as the program can tell.
    std::string journalStream() const {
        return "JOURNAL_STREAM=" + pellimar::testing::journalStreamFor(dir_.file("stderr"));
    }

    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

  private:
    pellimar::testing::TempDir dir_;
    std::string world_ = dir_.world();
};

// The one line a failed run writes.
inline std::string errorLine(const std::string& text) {
    return "[output-fabric] " + text + "\n";
}

}  // namespace pellimar::output_fabric::testing
