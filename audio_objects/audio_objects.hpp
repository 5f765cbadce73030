#pragma once
// Property reads of the audio object system with one error type and one error-text format.
// Both the capture and the output-fabric programs use it; they differ only in the error type's
// name, the output fabric's extra free-text case and the message texts, which each program
// brings as the Texts parameter.

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/audio_system/audio_system.hpp"
#include "platform/common/result.hpp"
#include "platform/device_queries/device_queries.hpp"

namespace pellimar::audio_objects {

using audio::ObjectID;
using audio::Selector;
using audio::Status;

// The four bytes of a status, most significant first, when all are printable ASCII; else "----".
std::string fourCC(Status status);

// Texts: kHasMessageCase, and the messages listSize(), listRead(), scalarRead(selector) and
// stringRead(selector).
template <typename Texts>
struct AudioError {
    enum class Kind { status, usage, message };

    Kind kind = Kind::usage;
    std::string text;
    Status code = 0;

    static AudioError status(std::string message, Status code) {
        return {Kind::status, std::move(message), code};
    }
    static AudioError usage(std::string text) { return {Kind::usage, std::move(text), 0}; }
    static AudioError message(std::string text) requires Texts::kHasMessageCase {
        return {Kind::message, std::move(text), 0};
    }

    std::string description() const {
        if (kind != Kind::status) {
            return text;
        }
        return text + " failed (OSStatus " + std::to_string(code) + ", fourCC " + fourCC(code) +
               ").";
    }
};

template <typename Error>
struct ErrorTexts;
template <typename Texts>
struct ErrorTexts<AudioError<Texts>> {
    using type = Texts;
};

constexpr audio::AudioObjectPropertyAddress globalAddress(Selector selector) {
    return {selector, audio::kAudioObjectPropertyScopeGlobal,
            audio::kAudioObjectPropertyElementMain};
}

// The object IDs of a list property of the system object, in the platform's order.
template <typename Error>
Result<std::vector<ObjectID>, Error> objectIDs(audio::AudioSystem& system, Selector selector) {
    using Texts = typename ErrorTexts<Error>::type;
    auto ids = audio::objectList(system, selector);
    if (!ids) {
        const auto& failure = ids.error();
        return fail(Error::status(failure.sizeQuery ? Texts::listSize() : Texts::listRead(),
                                  failure.status));
    }
    return std::move(ids).value();
}

// The device list, the only list the output fabric reads.
template <typename Error>
Result<std::vector<ObjectID>, Error> objectIDs(audio::AudioSystem& system) {
    return objectIDs<Error>(system, audio::kAudioHardwarePropertyDevices);
}

// A fixed-size value, starting from `initial`.
template <typename Error, typename T>
Result<T, Error> scalar(audio::AudioSystem& system, ObjectID object, Selector selector, T initial) {
    using Texts = typename ErrorTexts<Error>::type;
    auto value = audio::readScalar(system, object, selector, initial);
    if (!value) {
        return fail(Error::status(Texts::scalarRead(selector), value.error()));
    }
    return *value;
}

// A dictionary-like reference value; nullopt is the null reference.
template <typename Error>
Result<std::optional<audio::Value>, Error> reference(audio::AudioSystem& system, ObjectID object,
                                                     Selector selector) {
    using Texts = typename ErrorTexts<Error>::type;
    std::optional<audio::Value> value;
    const Status status = system.getValueProperty(object, globalAddress(selector), value);
    if (status != 0) {
        return fail(Error::status(Texts::scalarRead(selector), status));
    }
    return value;
}

// A string property; the null reference reads as the empty text.
template <typename Error>
Result<std::string, Error> string(audio::AudioSystem& system, ObjectID object, Selector selector) {
    using Texts = typename ErrorTexts<Error>::type;
    auto value = audio::readString(system, object, selector);
    if (!value) {
        return fail(Error::status(Texts::stringRead(selector), value.error()));
    }
    return std::move(value).value();
}

}  // namespace pellimar::audio_objects
