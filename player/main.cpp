#include <string>
#include <vector>

#include "player/decoder_pipeline.hpp"

int main(int argc, char** argv) {
    return pellimar::player::playerMain(std::vector<std::string>(argv, argv + argc));
}
