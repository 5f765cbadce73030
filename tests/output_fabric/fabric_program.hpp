#pragma once
// Runs the built pellimar-output-fabric against a simulated audio system of the test's own.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sim/world.hpp"
#include "tests/support/journal_stream.hpp"
#include "tests/support/temp_dir.hpp"

extern char** environ;

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
        const std::string program = PELLIMAR_BIN_DIR "/pellimar-output-fabric";
        std::vector<std::string> storage = {program};
        storage.insert(storage.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& s : storage) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> env = {"PELLIMAR_AUDIO_SYSTEM=" + world_};
        env.insert(env.end(), environment.begin(), environment.end());
        for (char** e = environ; *e != nullptr; ++e) {
            if (!std::string_view(*e).starts_with("PELLIMAR_AUDIO_SYSTEM=")) {
                env.emplace_back(*e);
            }
        }
        std::vector<char*> envp;
        for (auto& s : env) {
            envp.push_back(s.data());
        }
        envp.push_back(nullptr);
        const std::string out = dir_.file("stdout"), err = dir_.file("stderr");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        pid_t pid = 0;
        Run run;
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        posix_spawn_file_actions_destroy(&actions);
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
