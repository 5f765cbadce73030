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
using audio_objects::TapError;

inline constexpr ObjectID systemObject = audio::kAudioObjectSystemObject;
inline constexpr std::string_view aggregateName = "Pellimar Application Capture";
inline constexpr std::string_view aggregateUID = "org.pellimar.application-capture";
inline constexpr std::string_view slotTapNamePrefix = "Pellimar application slot ";
inline constexpr std::string_view padTapName = "Pellimar live channel pad";

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

// Writes all bytes to a descriptor, resuming after partial writes and interruptions.
void writeAll(int fd, std::string_view bytes);

}  // namespace pellimar::process_tap
