#pragma once

#include <string>

namespace pellimar::player {

// Replaces the file at `path` with `contents` so that a reader sees either the old or the new
// file, never a partial one. A symlink or file already at the path is replaced, never written
// through. Returns false when anything failed; the old file is then left as it was.
bool replaceFileAtomically(const std::string& path, const std::string& contents);

}  // namespace pellimar::player
