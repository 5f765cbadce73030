#pragma once

#include "tests/support/temp_dir.hpp"

namespace pellimar::audio::testing {
using pellimar::testing::TempDir;
}  // namespace pellimar::audio::testing
