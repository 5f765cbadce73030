#pragma once
// The error of both players.

#include <string>
#include <utility>

#include "platform/common/result.hpp"

namespace pellimar {

// `usage`: the command line cannot choose a mode, or the source is unusable. `playback`:
// everything else, including platform failures, whose text travels unchanged.
struct PlayerError {
    enum class Kind { usage, playback };
    Kind kind = Kind::playback;
    std::string message;

    static PlayerError usage(std::string message) { return {Kind::usage, std::move(message)}; }
    static PlayerError playback(std::string message) {
        return {Kind::playback, std::move(message)};
    }
    const std::string& description() const { return message; }
};

template <typename T>
using PlayerResult = Result<T, PlayerError>;

}  // namespace pellimar
