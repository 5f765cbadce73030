#pragma once
// Property reads whose failures the announcement player never reports: a failed read is simply
// a non-matching or empty answer.

#include "audio_objects/audio_objects.hpp"

namespace pellimar::announcement {

struct SilentTexts {
    static constexpr bool kHasMessageCase = false;
    static std::string listSize() { return {}; }
    static std::string listRead() { return {}; }
    static std::string scalarRead(audio::Selector) { return {}; }
    static std::string stringRead(audio::Selector) { return {}; }
};
using QuietRead = audio_objects::AudioError<SilentTexts>;

}  // namespace pellimar::announcement
