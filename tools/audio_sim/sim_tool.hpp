#pragma once
// pellimar-audio-sim: inspects and changes the simulated audio system's world from the shell.

#include <ostream>
#include <string>
#include <vector>

namespace pellimar::audio::sim {

// Runs one command (arguments without the program name); returns the exit status.
int runSimTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace pellimar::audio::sim
