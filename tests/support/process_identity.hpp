#pragma once
// Gives test processes the identities desktops give applications: a systemd-style cgroup of their
// own, or a root of their own holding /.flatpak-info. Both need root (cgroup2 writes, a mount
// namespace); `error()` says why one cannot be made, and tests skip then.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"

namespace pellimar::testing {

// A cgroup directory under the cgroup2 mount, named as a desktop names an application's unit.
class AppCgroup {
  public:
    explicit AppCgroup(const std::string& unitName) {
        std::ifstream mounts("/proc/self/mountinfo");
        std::string line;
        while (std::getline(mounts, line)) {
            // "... MOUNTPOINT OPTIONS ... - cgroup2 SOURCE ..."
            if (line.find(" - cgroup2 ") == std::string::npos) {
                continue;
            }
            std::vector<std::string> fields;
            std::string field;
            for (std::istringstream in(line); in >> field;) {
                fields.push_back(field);
            }
            if (fields.size() > 4) {
                dir_ = fields[4] + "/" + unitName;
                break;
            }
        }
        if (dir_.empty()) {
            error_ = "no cgroup2 mount";
        } else if (::mkdir(dir_.c_str(), 0755) != 0) {
            error_ = "cannot create " + dir_ + " (needs root)";
            dir_.clear();
        }
    }
    // Processes still inside (a test that failed early) go back to the parent, so that the
    // directory can go.
    ~AppCgroup() {
        if (dir_.empty()) {
            return;
        }
        std::ifstream inside(procs());
        for (std::string pid; std::getline(inside, pid);) {
            std::ofstream(dir_ + "/../cgroup.procs") << pid << "\n";
        }
        ::rmdir(dir_.c_str());
    }
    AppCgroup(const AppCgroup&) = delete;
    AppCgroup& operator=(const AppCgroup&) = delete;

    const std::string& error() const { return error_; }
    std::string procs() const { return dir_ + "/cgroup.procs"; }
    // A shell command prefix that moves the shell into the cgroup before it runs the program.
    std::string enter() const { return "echo $$ > '" + procs() + "' && "; }

  private:
    std::string dir_;
    std::string error_;
};

// A root directory sharing the machine's /usr, /etc, /dev, /proc and temporary directory, with a
// /.flatpak-info naming the application, entered through `wrap` in a mount namespace of its own.
class FlatpakRoot {
  public:
    explicit FlatpakRoot(const std::string& appID) {
        root_ = dir_.file("root");
        temp_ = std::filesystem::temp_directory_path().string();
        for (const std::string& sub : shared()) {
            std::filesystem::create_directories(root_ + sub);
        }
        for (const char* link : {"bin", "lib", "lib64", "sbin"}) {
            std::error_code ignored;
            std::filesystem::create_symlink(std::string("usr/") + link, root_ + "/" + link,
                                            ignored);
        }
        std::ofstream(root_ + "/.flatpak-info") << "[Application]\nname=" << appID
                                                << "\nruntime=runtime/org.example.Platform/"
                                                   "x86_64/1\n\n[Instance]\nname=other\n";
        if (::geteuid() != 0 || ::access("/usr/bin/unshare", X_OK) != 0) {
            error_ = "needs root and unshare";
        }
    }

    const std::string& error() const { return error_; }
    // The command run with this root as its /.
    std::vector<std::string> wrap(const std::vector<std::string>& argv) const {
        std::string script;
        for (const std::string& sub : shared()) {
            script += "mount --rbind '" + sub + "' '" + root_ + sub + "' && ";
        }
        script += "exec chroot '" + root_ + "' \"$@\"";
        std::vector<std::string> out{"/usr/bin/unshare", "-m", "--propagation", "private",
                                     "/bin/sh",          "-c", script,          "sh"};
        out.insert(out.end(), argv.begin(), argv.end());
        return out;
    }

  private:
    std::vector<std::string> shared() const { return {"/usr", "/etc", "/dev", "/proc", temp_}; }

    TempDir dir_;
    std::string root_;
    std::string temp_;
    std::string error_;
};

}  // namespace pellimar::testing
