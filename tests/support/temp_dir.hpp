#pragma once
// A private temporary directory per test, removed afterwards, so tests can run in parallel.

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace pellimar::testing {

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "pellimar-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string operator/(const std::string& name) const { return file(name); }
    // Where a test keeps its simulated audio system.
    std::string world() const { return file("audio-system.json"); }

  private:
    std::string path_;
};

}  // namespace pellimar::testing
