#include "output_fabric/json_input.hpp"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "platform/json/json_checks.hpp"

namespace pellimar::output_fabric {
namespace {

using nlohmann::json;

// Decoding failures are thrown inside this file only and caught at its entry points.
struct DecodeError {
    std::string text;
};

const char* typeName(const json& value) {
    switch (value.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return "a boolean";
        case json::value_t::string:
            return "a string";
        case json::value_t::array:
            return "an array";
        case json::value_t::object:
            return "a dictionary";
        default:
            return "a number";
    }
}

[[noreturn]] void mismatch(const char* expected, const json& found, const std::string& path) {
    throw DecodeError{"Type mismatch at " + (path.empty() ? std::string("the top level") : path) +
                      ": expected " + expected + " but found " + typeName(found) + " instead."};
}

std::string join(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
}

// A present key with a null value counts as absent, as for any optional member.
const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
}

const json& required(const json& object, const char* key, const std::string& path) {
    const json* value = member(object, key);
    if (value == nullptr) {
        throw DecodeError{"No value associated with key \"" + std::string(key) + "\" at " +
                          (path.empty() ? std::string("the top level") : path) + "."};
    }
    return *value;
}

const json& object(const json& value, const std::string& path) {
    if (!value.is_object()) {
        mismatch("a dictionary", value, path);
    }
    return value;
}

const json& array(const json& value, const std::string& path) {
    if (!value.is_array()) {
        mismatch("an array", value, path);
    }
    return value;
}

std::string text(const json& value, const std::string& path) {
    if (!value.is_string()) {
        mismatch("a string", value, path);
    }
    return value.get<std::string>();
}

bool boolean(const json& value, const std::string& path) {
    if (!value.is_boolean()) {
        mismatch("a boolean", value, path);
    }
    return value.get<bool>();
}

double number(const json& value, const std::string& path) {
    if (!value.is_number()) {
        mismatch("a number", value, path);
    }
    return value.get<double>();
}

// Whole numbers the target type holds; a fraction or a value out of range is refused.
template <typename T>
T whole(const json& value, const std::string& path) {
    if (!value.is_number()) {
        mismatch("a whole number", value, path);
    }
    if (auto v = pellimar::json::wholeNumber<T>(value)) {
        return *v;
    }
    throw DecodeError{"Number at " + path + " does not fit: " + value.dump() + "."};
}

template <typename T, typename Decode>
std::vector<T> list(const json& value, const std::string& path, Decode decode) {
    std::vector<T> out;
    std::size_t index = 0;
    for (const auto& item : array(value, path)) {
        out.push_back(decode(item, path + "[" + std::to_string(index++) + "]"));
    }
    return out;
}

template <typename T, typename Decode>
Fallible<T> decode(const std::string& bytes, Decode body) {
    // The JSON library takes a NUL byte for the end of the text and would ignore what follows.
    if (const auto nul = bytes.find('\0'); nul != std::string::npos) {
        return fail(
            FabricError::message("The given data was not valid JSON: a NUL byte at offset " +
                                 std::to_string(nul) + "."));
    }
    json document;
    try {
        document = json::parse(bytes);
    } catch (const json::exception& e) {
        return fail(
            FabricError::message(std::string("The given data was not valid JSON: ") + e.what()));
    }
    try {
        return body(document);
    } catch (const DecodeError& e) {
        return fail(FabricError::message(e.text));
    }
}

}  // namespace

bool isUTF8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80           ? 1
                             : (c >> 5) == 0x6  ? 2
                             : (c >> 4) == 0xE  ? 3
                             : (c >> 3) == 0x1E ? 4
                                                : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        std::uint32_t point = length == 1 ? c : c & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            point = (point << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
        static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < kSmallest[length] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) {
            return false;
        }
        i += length;
    }
    return true;
}

Fallible<Fabric> decodeFabric(const std::string& bytes) {
    return decode<Fabric>(bytes, [](const json& document) {
        const json& top = object(document, "");
        Fabric fabric;
        fabric.members = list<FabricMember>(
            required(top, "members", ""), "members", [](const json& item, const std::string& path) {
                object(item, path);
                FabricMember m;
                m.stableId = text(required(item, "stableId", path), join(path, "stableId"));
                if (const json* enabled = member(item, "enabled")) {
                    m.enabled = boolean(*enabled, join(path, "enabled"));
                }
                return m;
            });
        if (const json* master = member(top, "clockMasterStableId")) {
            fabric.clockMasterStableId = text(*master, "clockMasterStableId");
        }
        return fabric;
    });
}

Fallible<std::vector<ControlRequest>> decodeControlRequests(const std::string& bytes) {
    return decode<std::vector<ControlRequest>>(bytes, [](const json& document) {
        return list<ControlRequest>(document, "", [](const json& item, const std::string& path) {
            object(item, path);
            ControlRequest r;
            r.stableId = text(required(item, "stableId", path), join(path, "stableId"));
            if (const json* v = member(item, "outputChannels")) {
                r.outputChannels = whole<std::int64_t>(*v, join(path, "outputChannels"));
            }
            if (const json* v = member(item, "sampleRate")) {
                r.sampleRate = number(*v, join(path, "sampleRate"));
            }
            if (const json* v = member(item, "inputSourceId")) {
                r.inputSourceId = whole<std::uint32_t>(*v, join(path, "inputSourceId"));
            }
            return r;
        });
    });
}

Fallible<std::vector<ControlRestore>> decodeControlRestores(const std::string& bytes) {
    return decode<std::vector<ControlRestore>>(bytes, [](const json& document) {
        return list<ControlRestore>(document, "", [](const json& item, const std::string& path) {
            object(item, path);
            ControlRestore r;
            if (const json* v = member(item, "inputSourceId")) {
                r.inputSourceId = whole<std::uint32_t>(*v, join(path, "inputSourceId"));
            }
            r.stableId = text(required(item, "stableId", path), join(path, "stableId"));
            r.streams = list<StreamRestore>(
                required(item, "streams", path), join(path, "streams"),
                [](const json& entry, const std::string& at) {
                    object(entry, at);
                    StreamRestore s;
                    s.physical = text(required(entry, "physical", at), join(at, "physical"));
                    s.stream =
                        whole<std::uint32_t>(required(entry, "stream", at), join(at, "stream"));
                    s.virtualFormat = text(required(entry, "virtual", at), join(at, "virtual"));
                    return s;
                });
            return r;
        });
    });
}

}  // namespace pellimar::output_fabric
