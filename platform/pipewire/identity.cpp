#include "platform/pipewire/identity.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace pellimar::audio::pipewire {

namespace {

constexpr std::size_t kSmallFileLimit = 64 * 1024;
// Environments may be large; the launcher's variables are set before the user's.
constexpr std::size_t kEnvironLimit = 256 * 1024;

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// A process's files are written by the process (or a sandbox it controls): no symbolic link
// at the end, no FIFO or device, and never more than `limit` bytes.
std::optional<std::string> readBounded(const std::string& path, std::size_t limit) {
    FileDescriptor fd(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    std::string out;
    // /proc files report size 0, so read to the end.
    while (out.size() < limit) {
        char buffer[4096];
        const ssize_t n = ::read(fd.get(), buffer, std::min(sizeof buffer, limit - out.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;  // the process went away while we read
        }
        if (n == 0) {
            break;
        }
        out.append(buffer, std::size_t(n));
    }
    return out;
}

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::string_view baseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Splits NUL- or line-separated text, calling `f` until it returns true.
template <typename F>
void eachField(std::string_view text, char separator, F f) {
    while (!text.empty()) {
        const auto end = text.find(separator);
        if (f(text.substr(0, end)) || end == std::string_view::npos) {
            return;
        }
        text.remove_prefix(end + 1);
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

std::string flatpakAppID(std::string_view flatpakInfo) {
    bool inApplication = false;
    std::string id;
    eachField(flatpakInfo, '\n', [&](std::string_view line) {
        line = trim(line);
        if (line.starts_with('[')) {
            inApplication = line == "[Application]";
            return false;
        }
        const auto eq = line.find('=');
        if (inApplication && eq != std::string_view::npos && trim(line.substr(0, eq)) == "name") {
            id = trim(line.substr(eq + 1));
            return true;
        }
        return false;
    });
    return id;
}

std::string unescapeUnitName(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
            hexDigit(name[i + 2]) >= 0 && hexDigit(name[i + 3]) >= 0) {
            out.push_back(char(hexDigit(name[i + 2]) * 16 + hexDigit(name[i + 3])));
            i += 3;
        } else {
            out.push_back(name[i]);
        }
    }
    return out;
}

// Desktops name units app[-<launcher>]-<id>-<random>.scope or app[-<launcher>]-<id>[@<random>]
// .service, with the ID escaped so that it holds no dash of its own.
std::string unitAppID(std::string_view unitName) {
    std::string_view stem;
    bool scope = false;
    if (endsWith(unitName, ".scope")) {
        stem = unitName.substr(0, unitName.size() - 6);
        scope = true;
    } else if (endsWith(unitName, ".service")) {
        stem = unitName.substr(0, unitName.size() - 8);
        stem = stem.substr(0, stem.find('@'));
    } else {
        return {};
    }
    std::vector<std::string_view> fields;
    eachField(stem, '-', [&](std::string_view f) {
        fields.push_back(f);
        return false;
    });
    if (stem.ends_with('-')) {
        return {};
    }
    // Without a launcher a scope has three fields and a service two.
    const std::size_t bare = scope ? 3 : 2;
    if (fields.empty() || fields.front() != "app" ||
        (fields.size() != bare && fields.size() != bare + 1)) {
        return {};
    }
    if (std::any_of(fields.begin(), fields.end(), [](std::string_view f) { return f.empty(); })) {
        return {};
    }
    return unescapeUnitName(fields[fields.size() == bare ? 1 : 2]);
}

std::string cgroupAppID(std::string_view procCgroup) {
    // The unified hierarchy first; on a hybrid system systemd's own names the units as well.
    std::string unified;
    std::string named;
    eachField(procCgroup, '\n', [&](std::string_view line) {
        const auto first = line.find(':');
        const auto second = line.find(':', first == std::string_view::npos ? first : first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos) {
            return false;
        }
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string id = unitAppID(baseName(line.substr(second + 1)));
        if (line.substr(0, first) == "0" && controllers.empty()) {
            unified = id;
        } else if (controllers == "name=systemd") {
            named = id;
        }
        return false;
    });
    return unified.empty() ? named : unified;
}

std::string desktopID(std::string_view environ, std::int32_t pid) {
    std::string_view file;
    std::string_view launchedPid;
    eachField(environ, '\0', [&](std::string_view entry) {
        if (entry.starts_with("GIO_LAUNCHED_DESKTOP_FILE=")) {
            file = entry.substr(26);
        } else if (entry.starts_with("GIO_LAUNCHED_DESKTOP_FILE_PID=")) {
            launchedPid = entry.substr(30);
        }
        return false;
    });
    // Children of the launched program (a shell in a launched terminal) inherit the variable.
    if (!launchedPid.empty() && launchedPid != std::to_string(pid)) {
        return {};
    }
    const std::string_view name = baseName(file);
    if (!endsWith(name, ".desktop") || name.size() == 8) {
        return {};
    }
    return std::string(name.substr(0, name.size() - 8));
}

std::string programName(std::string_view cmdline) {
    const auto end = cmdline.find('\0');
    const std::string_view argv0 = cmdline.substr(0, end);
    const bool alone = end == std::string_view::npos ||
                       cmdline.find_first_not_of('\0', end) == std::string_view::npos;
    // A process that rewrote its title ("sshd: user@pts/0") has no argv[0] left.
    if (alone && argv0.find(' ') != std::string_view::npos) {
        return {};
    }
    return std::string(baseName(argv0));
}

ProcFacts readProcFacts(std::int32_t pid) {
    ProcFacts facts;
    if (pid <= 0) {
        return facts;
    }
    const std::string dir = "/proc/" + std::to_string(pid) + "/";
    if (auto info = readBounded(dir + "root/.flatpak-info", kSmallFileLimit)) {
        facts.flatpakAppID = flatpakAppID(*info);
    }
    if (auto cgroup = readBounded(dir + "cgroup", kSmallFileLimit)) {
        facts.unitAppID = cgroupAppID(*cgroup);
    }
    if (auto environ = readBounded(dir + "environ", kEnvironLimit)) {
        facts.desktopID = desktopID(*environ, pid);
    }
    if (auto cmdline = readBounded(dir + "cmdline", kSmallFileLimit)) {
        facts.programName = programName(*cmdline);
    }
    char target[4096];
    if (ssize_t n = ::readlink((dir + "exe").c_str(), target, sizeof target); n > 0) {
        std::string_view exe = baseName(std::string_view(target, std::size_t(n)));
        if (endsWith(exe, " (deleted)")) {
            exe.remove_suffix(10);  // replaced by an upgrade while it runs
        }
        facts.executable = exe;
    }
    return facts;
}

std::string chooseBundleID(const GraphFacts& graph, const ProcFacts& proc) {
    // A client in another pid namespace (a container) reports a pid that names some other
    // process here; its /proc files then say nothing about the client.
    const bool sameProcess =
        graph.binary.empty() || proc.executable.empty() || graph.binary == proc.executable;
    const ProcFacts none;
    const ProcFacts& p = sameProcess ? proc : none;
    for (const std::string* id : {&graph.portalAppID, &p.flatpakAppID, &graph.applicationID,
                                  &p.unitAppID, &p.desktopID, &p.programName, &graph.binary}) {
        if (!id->empty()) {
            return *id;
        }
    }
    return {};
}

const ProcFacts& IdentityCache::facts(std::int32_t pid) {
    auto it = byPid_.find(pid);
    if (it == byPid_.end()) {
        it = byPid_.emplace(pid, readProcFacts(pid)).first;
    }
    return it->second;
}

void IdentityCache::keepOnly(const std::vector<std::int32_t>& pids) {
    std::erase_if(byPid_, [&](const auto& entry) {
        return std::find(pids.begin(), pids.end(), entry.first) == pids.end();
    });
}

}  // namespace pellimar::audio::pipewire
