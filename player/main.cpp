#include <string>
#include <vector>

#include "platform/common/standard_fds.hpp"
#include "player/decoder_pipeline.hpp"

int main(int argc, char** argv) {
    pellimar::ensureStandardDescriptors();
    return pellimar::player::playerMain(std::vector<std::string>(argv, argv + argc));
}
