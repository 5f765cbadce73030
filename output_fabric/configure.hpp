#pragma once
// Device format and input-source changes with a saved state: "configure" checks and saves every
// request before changing anything and puts everything back when a change fails; "restore" takes
// the saved state back.

#include <nlohmann/json.hpp>

#include "output_fabric/device_reader.hpp"
#include "output_fabric/json_input.hpp"

namespace pellimar::output_fabric {

// The saved-format text: the 40 bytes of a stream description, as laid out in memory, in base64.
std::string formatText(const audio::AudioStreamBasicDescription& format);

// The ControlResult of the applied requests.
Fallible<nlohmann::json> configure(AudioSystem& system, const std::vector<ControlRequest>& requests,
                                   const Pauses& pauses);
// Puts saved states back, last entry first; stops at the first failure.
Fallible<void> restore(AudioSystem& system, const std::vector<ControlRestore>& list);

Fallible<void> setFormat(AudioSystem& system, ObjectID stream, Selector selector,
                         const std::string& text);
Fallible<void> setSource(AudioSystem& system, ObjectID device, std::uint32_t id);

}  // namespace pellimar::output_fabric
