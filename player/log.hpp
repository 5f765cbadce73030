#pragma once

#include <string>

namespace pellimar::player {

// One line on standard error, in one write, with the program's tag.
void logLine(const std::string& text);

}  // namespace pellimar::player
