#pragma once
// The pretty form the capture and output-fabric programs print: keys sorted at every level,
// two-space indent, " : " between key and value, slashes as is, whole numbers without a fraction.

#include <string>

#include <nlohmann/json.hpp>

#include "platform/common/result.hpp"

namespace pellimar::json {

// Fails, naming the number, when the value holds a double that is not finite: JSON has no form
// for it, and writing null instead would hand the reader a different document.
Result<std::string, std::string> pretty(const nlohmann::json& value);

// One number as printed: integers and whole doubles without a fraction, others in the shortest
// form that reads back to the same double.
std::string number(double value);

}  // namespace pellimar::json
