#pragma once
// The two views of the machine's devices: "list" (usable outputs with their standard rates) and
// "inventory" (every device with channels, its output formats and input sources).

#include <nlohmann/json.hpp>

#include "output_fabric/device_reader.hpp"

namespace pellimar::output_fabric {

// The standard rates the device's available-rate ranges contain, plus the nominal rate;
// ascending, each once. [nominal] when the ranges cannot be read.
std::vector<double> sampleRates(AudioSystem& system, ObjectID device, double nominalRate);

// Whether a device name marks it as virtual ("aggregate" or "virtual", any case).
bool looksVirtual(const std::string& name);

// The JSON array of OutputDevice.
Fallible<nlohmann::json> outputDeviceList(AudioSystem& system);
// The JSON array of ControlDevice.
Fallible<nlohmann::json> controlInventory(AudioSystem& system);

}  // namespace pellimar::output_fabric
