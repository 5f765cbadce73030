#include "platform/json/pretty_json.hpp"

#include <charconv>
#include <cmath>
#include <map>

namespace pellimar::json {
namespace {

void indent(std::string& out, int depth) {
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

void write(std::string& out, const nlohmann::json& v, int depth) {
    switch (v.type()) {
        case nlohmann::json::value_t::object: {
            if (v.empty()) {
                out += "{\n\n";
                indent(out, depth);
                out += "}";
                return;
            }
            // nlohmann keeps object keys in a std::map already; sort explicitly all the same so
            // an ordered_json passed through stays sorted.
            std::map<std::string, const nlohmann::json*> sorted;
            for (auto it = v.begin(); it != v.end(); ++it) {
                sorted.emplace(it.key(), &it.value());
            }
            out += "{\n";
            bool first = true;
            for (const auto& [key, item] : sorted) {
                if (!first) {
                    out += ",\n";
                }
                first = false;
                indent(out, depth + 1);
                out += nlohmann::json(key).dump();
                out += " : ";
                write(out, *item, depth + 1);
            }
            out += "\n";
            indent(out, depth);
            out += "}";
            return;
        }
        case nlohmann::json::value_t::array: {
            if (v.empty()) {
                out += "[\n\n";
                indent(out, depth);
                out += "]";
                return;
            }
            out += "[\n";
            bool first = true;
            for (const auto& item : v) {
                if (!first) {
                    out += ",\n";
                }
                first = false;
                indent(out, depth + 1);
                write(out, item, depth + 1);
            }
            out += "\n";
            indent(out, depth);
            out += "]";
            return;
        }
        case nlohmann::json::value_t::number_float:
            out += number(v.get<double>());
            return;
        default:
            // Strings, integers, booleans and null: nlohmann leaves "/" unescaped.
            out += v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            return;
    }
}

bool allFinite(const nlohmann::json& v) {
    if (v.is_number_float()) {
        return std::isfinite(v.get<double>());
    }
    if (v.is_structured()) {
        for (const auto& item : v) {
            if (!allFinite(item)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

std::string number(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    if (value == std::trunc(value) && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<long long>(value));
    }
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc() ? std::string(buffer, end) : std::string("null");
}

Result<std::string, std::string> pretty(const nlohmann::json& value) {
    if (!allFinite(value)) {
        return fail(std::string("Invalid number in JSON output (not finite)"));
    }
    std::string out;
    write(out, value, 0);
    return out;
}

}  // namespace pellimar::json
