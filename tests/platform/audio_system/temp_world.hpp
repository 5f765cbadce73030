#pragma once
// A private temporary directory per test, removed afterwards.

#include <cstdlib>
#include <filesystem>
#include <string>

namespace pellimar::audio::testing {

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "pellimar-sim-XXXXXX").string();
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
    std::string world() const { return file("audio-system.json"); }

  private:
    std::string path_;
};

}  // namespace pellimar::audio::testing
