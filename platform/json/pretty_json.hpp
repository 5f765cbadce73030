#pragma once
// The pretty form the capture and output-fabric programs print: keys sorted at every level,
// two-space indent, " : " between key and value, slashes as is, whole numbers without a fraction.

#include <string>

#include <nlohmann/json.hpp>

namespace pellimar::json {

std::string pretty(const nlohmann::json& value);

// One number as printed: integers and whole doubles without a fraction, others in the shortest
// form that reads back to the same double.
std::string number(double value);

}  // namespace pellimar::json
