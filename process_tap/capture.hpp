#pragma once
// Names and helpers every part of the capture program shares.

#include <string>
#include <string_view>
#include <vector>

#include "audio_objects/audio_objects.hpp"
#include "platform/common/log.hpp"

namespace pellimar::process_tap {

using audio::AudioSystem;
using audio::ObjectID;
using audio::Selector;
using audio::Status;

// The access layer's messages in this program's words.
struct CaptureTexts {
    static constexpr bool kHasMessageCase = false;
    static std::string listSize() { return "Read object-list size"; }
    static std::string listRead() { return "Read object list"; }
    static std::string scalarRead(Selector selector) {
        return "Read property " + std::to_string(selector);
    }
    static std::string stringRead(Selector selector) {
        return "Read string property " + std::to_string(selector);
    }
};
using TapError = audio_objects::AudioError<CaptureTexts>;

inline constexpr ObjectID systemObject = audio::kAudioObjectSystemObject;
inline constexpr std::string_view aggregateName = "Pellimar Application Capture";
inline constexpr std::string_view aggregateUID = "org.pellimar.application-capture";
inline constexpr std::string_view kSlotTapNamePrefix = "Pellimar application slot ";
inline constexpr std::string_view kPadTapName = "Pellimar live channel pad";

inline Result<std::vector<ObjectID>, TapError> objectIDs(AudioSystem& system, Selector selector) {
    return audio_objects::objectIDs<TapError>(system, selector);
}

template <typename T>
Result<T, TapError> scalar(AudioSystem& system, ObjectID object, Selector selector, T initial) {
    return audio_objects::scalar<TapError>(system, object, selector, initial);
}

inline Result<std::string, TapError> string(AudioSystem& system, ObjectID object,
                                            Selector selector) {
    return audio_objects::string<TapError>(system, object, selector);
}

// The program's log lines, tagged "[process-tap] ", set up from the environment on first use.
const LogWriter& programLog();

}  // namespace pellimar::process_tap
