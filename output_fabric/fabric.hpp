#pragma once
// The output fabric: one public aggregate device joining output devices side by side, made to
// match a member list (reused when it already does) and removed again.

#include <nlohmann/json.hpp>

#include "output_fabric/device_reader.hpp"
#include "output_fabric/json_input.hpp"

namespace pellimar::output_fabric {

// The EnsureResult of a fabric matching the JSON text of a Fabric.
Fallible<nlohmann::json> ensure(AudioSystem& system, const std::string& text, const Pauses& pauses);

// Destroys every device carrying the fabric's UID; stops at the first refusal.
Fallible<void> destroyExistingAggregate(AudioSystem& system);

}  // namespace pellimar::output_fabric
