#include <string>
#include <vector>

#include "announcement_player/announcement_player.hpp"
#include "platform/common/standard_fds.hpp"

int main(int argc, char** argv) {
    pellimar::ensureStandardDescriptors();
    return pellimar::announcement::runAnnouncementPlayer(
        std::vector<std::string>(argv + 1, argv + argc));
}
