#include <string>
#include <vector>

#include "announcement_player/announcement_player.hpp"
#include "announcement_player/player_error.hpp"
#include "platform/common/standard_fds.hpp"

int main(int argc, char** argv) {
    pellimar::ensureStandardDescriptors();
    // Says at once when PELLIMAR_LOG is not understood.
    (void)pellimar::announcement::programLog();
    return pellimar::announcement::runAnnouncementPlayer(
        std::vector<std::string>(argv + 1, argv + argc));
}
