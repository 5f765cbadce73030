#include <string>
#include <vector>

#include "platform/common/standard_fds.hpp"
#include "player/decoder_pipeline.hpp"
#include "player/log.hpp"

int main(int argc, char** argv) {
    pellimar::ensureStandardDescriptors();
    // Says at once when PELLIMAR_LOG is not understood.
    (void)pellimar::player::programLog();
    return pellimar::player::playerMain(std::vector<std::string>(argv, argv + argc));
}
