#include <string>
#include <vector>

#include "platform/common/standard_fds.hpp"
#include "player/decoder_pipeline.hpp"
#include "player/log.hpp"

int main(int argc, char** argv) {
    pellimar::ensureStandardDescriptors();
    (void)pellimar::player::programLog();  // says at once when PELLIMAR_LOG is not understood
    return pellimar::player::playerMain(std::vector<std::string>(argv, argv + argc));
}
