#pragma once
// Clean-up of what an earlier run left behind: the capture device (found by UID) and this
// system's taps that no aggregate device uses any more (found by name).

#include <string_view>

#include "process_tap/capture.hpp"

namespace pellimar::process_tap {

// Whether a tap name marks one of this program's slot or pad taps.
bool isApplicationTapName(std::string_view name);

Result<void, TapError> destroyExistingAggregate(AudioSystem& system);
Result<void, TapError> destroyOrphanedApplicationTaps(AudioSystem& system);

}  // namespace pellimar::process_tap
