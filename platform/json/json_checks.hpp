#pragma once
// Checks on JSON that came from outside the process.
//
// Whole numbers read from JSON written by hand or by another program: nlohmann converts a double
// to an integer with a plain cast, which is undefined for 1e30 or NaN and silently wraps -1, so
// every integer field goes through here instead.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/common/result.hpp"

namespace pellimar::json {

// The value as a T when it is a whole number that T holds (2.0 counts, 2.5 does not).
template <typename T>
std::optional<T> wholeNumber(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (std::in_range<T>(v)) {
            return T(v);
        }
    } else if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (std::in_range<T>(v)) {
            return T(v);
        }
    } else if (value.is_number_float()) {
        const double v = value.get<double>();
        // The upper bound is a power of two, exact as a double, so the cast below is defined.
        if (v == std::trunc(v) && v >= double(std::numeric_limits<T>::min()) &&
            v < std::ldexp(1.0, std::numeric_limits<T>::digits)) {
            return T(v);
        }
    }
    return std::nullopt;
}

// The same, throwing std::runtime_error naming `what` for a reader that reports through one
// catch.
template <typename T>
T requireWhole(const nlohmann::json& value, const std::string& what) {
    if (auto v = wholeNumber<T>(value)) {
        return *v;
    }
    throw std::runtime_error(
        what + " must be a whole number from " + std::to_string(std::numeric_limits<T>::min()) +
        " to " + std::to_string(std::numeric_limits<T>::max()) + ", not " + value.dump());
}

// An optional member: `fallback` when absent.
template <typename T>
T requireWhole(const nlohmann::json& object, const char* key, T fallback) {
    auto it = object.find(key);
    return it == object.end() ? fallback : requireWhole<T>(*it, std::string("\"") + key + "\"");
}

// Whether no array or object lies deeper than `limit` levels. Copying, comparing and printing a
// value recurse once per level, so a hostile depth must be refused before any of them; this walk
// keeps its own stack.
inline bool nestedWithin(const nlohmann::json& value, int limit) {
    std::vector<std::pair<const nlohmann::json*, int>> pending{{&value, 1}};
    while (!pending.empty()) {
        const auto [v, depth] = pending.back();
        pending.pop_back();
        if (!v->is_structured()) {
            continue;
        }
        if (depth > limit) {
            return false;
        }
        for (const auto& item : *v) {
            pending.emplace_back(&item, depth + 1);
        }
    }
    return true;
}

// Why parseText refused a text; each reader words it in its own way.
struct TextRefusal {
    enum class Kind { nulByte, tooDeep, notJson };
    Kind kind = Kind::notJson;
    std::size_t nulOffset = 0;  // for nulByte
    std::string description;    // the parser's own, for notJson
};

// For readers that bound nothing beyond what the parser itself refuses.
inline constexpr int kAnyDepth = std::numeric_limits<int>::max();

// Parses JSON text that came from outside the process. A NUL byte is refused (the parser would
// take it for the end of the text and ignore what follows), and so is text that is not UTF-8 (the
// parser refuses it). Nesting deeper than `maxDepth` is refused before parsing, by a scan that
// does not recurse, even when the text is not JSON at all.
inline Result<nlohmann::json, TextRefusal> parseText(std::string_view text,
                                                     int maxDepth = kAnyDepth) {
    if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
        return fail(TextRefusal{TextRefusal::Kind::nulByte, nul, {}});
    }
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size() && maxDepth != kAnyDepth; ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) {
                return fail(TextRefusal{TextRefusal::Kind::tooDeep, 0, {}});
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    try {
        return nlohmann::json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& e) {
        return fail(TextRefusal{TextRefusal::Kind::notJson, 0, e.what()});
    }
}

}  // namespace pellimar::json
