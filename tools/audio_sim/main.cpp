#include <iostream>
#include <string>
#include <vector>

#include "tools/audio_sim/sim_tool.hpp"

int main(int argc, char** argv) {
    return pellimar::audio::sim::runSimTool(std::vector<std::string>(argv + 1, argv + argc),
                                            std::cout, std::cerr);
}
