#include "platform/sim/world_store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/common/write_all.hpp"

namespace pellimar::audio::sim {

namespace {

std::string errnoText(int error) {
    return std::strerror(error);
}

std::string fileError(const std::string& path, const std::string& what, int error) {
    return "Simulated audio system: " + what + " " + path + ": " + errnoText(error);
}

// Runs `action` when the scope ends, however it ends.
class AtExit {
  public:
    explicit AtExit(std::function<void()> action) : action_(std::move(action)) {}
    ~AtExit() { action_(); }
    AtExit(const AtExit&) = delete;
    AtExit& operator=(const AtExit&) = delete;

  private:
    std::function<void()> action_;
};

Result<std::string, int> readAll(int fd) {
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(errno);
        }
        if (n == 0) {
            return text;
        }
        text.append(buffer, std::size_t(n));
    }
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Removes live processes that have gone; returns whether any was removed.
bool pruneDead(World& world, ProcessLiveness& liveness) {
    auto before = world.processes.size();
    std::erase_if(world.processes, [&](const Process& p) {
        return p.kind == ProcessKind::live && !liveness.alive(p.pid, p.startTime);
    });
    return world.processes.size() != before;
}

constexpr std::int64_t kStatCheckIntervalNs = 100'000'000;

ChangeStamp stampOf(const struct stat& st) {
    return {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

// Marks the lock file's stamp; only the writer holding the lock calls this.
int setStamp(int fd, std::int64_t seconds) {
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(seconds), 0}};
    return ::futimens(fd, times) == 0 ? 0 : errno;
}

// A writer's temporary file, locked while it is written; one nobody holds was left by a writer
// that died.
bool abandoned(int dirFd, const char* name) {
    int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    FileDescriptor file(fd);
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

std::int64_t coarseNowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.release();
    }
    return *this;
}

std::optional<std::uint64_t> processStartTime(std::int32_t pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!in || !std::getline(in, text)) {
        return std::nullopt;
    }
    // The command name may hold spaces and parentheses; fields resume after the last ')'.
    auto close = text.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(text.substr(close + 1));
    std::string state;
    fields >> state;
    if (state == "Z" || state == "X") {
        return std::nullopt;
    }
    std::string skip;
    for (int i = 0; i < 18; ++i) {  // fields 4..21
        fields >> skip;
    }
    std::uint64_t start = 0;
    if (!(fields >> start)) {
        return std::nullopt;
    }
    return start;
}

bool ProcessLiveness::alive(std::int32_t pid, std::uint64_t startTime) {
    auto it = entries_.find(pid);
    if (it != entries_.end() && it->second.startTime == startTime) {
        if (!it->second.pidfd.valid()) {
            return false;
        }
        pollfd p{it->second.pidfd.get(), POLLIN, 0};
        if (::poll(&p, 1, 0) == 0) {
            return true;
        }
        it->second.pidfd = FileDescriptor();  // exited
        return false;
    }
    Entry entry;
    entry.startTime = startTime;
    int fd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0 && errno != ESRCH) {
        // No pidfds here (old kernel, sandbox): fall back to comparing start times every time.
        auto actual = processStartTime(pid);
        return actual && *actual == startTime;
    }
    if (fd >= 0) {
        entry.pidfd = FileDescriptor(fd);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        auto actual = processStartTime(pid);
        if (!actual || *actual != startTime) {
            entry.pidfd = FileDescriptor();
        }
    }
    bool result = entry.pidfd.valid();
    entries_[pid] = std::move(entry);
    return result;
}

void ProcessLiveness::retain(const World& world) {
    std::erase_if(entries_, [&](const auto& item) {
        for (const auto& p : world.processes) {
            if (p.kind == ProcessKind::live && p.pid == item.first) {
                return false;
            }
        }
        return true;
    });
}

WorldStore::WorldStore(std::string path) : path_(std::move(path)) {
    auto slash = path_.rfind('/');
    if (slash == std::string::npos) {
        dir_ = ".";
        base_ = path_;
    } else {
        dir_ = slash == 0 ? "/" : path_.substr(0, slash);
        base_ = path_.substr(slash + 1);
    }
}

Result<void, std::string> WorldStore::openLock() {
    if (lockFd_.valid()) {
        return {};
    }
    std::string lockPath = path_ + ".lock";
    for (int attempt = 0;; ++attempt) {
        // Never blocks (a FIFO in its place) and never follows a link elsewhere.
        int fd = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                        0600);
        if (fd < 0) {
            return fail(fileError(lockPath, "cannot open lock file", errno));
        }
        FileDescriptor file(fd);
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            return fail(fileError(lockPath, "cannot open lock file", errno));
        }
        if (st.st_nlink == 0 && attempt < 100) {
            continue;  // deleted as we opened it
        }
        // Its time stamps are ours to set: another file linked here must not be touched.
        if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid()) {
            return fail("Simulated audio system: lock file " + lockPath +
                        " is not a regular file with one link owned by this user; refusing to "
                        "use it");
        }
        lockFd_ = std::move(file);
        seenStamp_ = ChangeStamp{};
        return {};
    }
}

Result<void, std::string> WorldStore::lockForWriting() {
    const auto deadline = std::chrono::steady_clock::now() + lockTimeout_;
    auto pause = std::chrono::microseconds(100);
    for (;;) {
        if (auto r = openLock(); !r) {
            return r;
        }
        if (::flock(lockFd_.get(), LOCK_EX | LOCK_NB) == 0) {
            // The lock only counts on the file at the lock path: one deleted or replaced since we
            // opened it locks nobody out.
            if (holdsLock()) {
                if (auto r = lockDirectory(deadline); !r) {
                    ::flock(lockFd_.get(), LOCK_UN);
                    return r;
                }
                return {};
            }
            ::flock(lockFd_.get(), LOCK_UN);
            lockFd_ = FileDescriptor();
            continue;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return fail(fileError(path_, "cannot lock", errno));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return fail("Simulated audio system: another process has held the lock on " + path_ +
                        ".lock for " + std::to_string(lockTimeout_.count()) +
                        " ms (a stopped or hung writer?); giving up");
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(1000));
    }
}

Result<void, std::string> WorldStore::lockDirectory(
    std::chrono::steady_clock::time_point deadline) {
    if (!dirLockFd_.valid()) {
        int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            return fail(fileError(dir_, "cannot open directory", errno));
        }
        dirLockFd_ = FileDescriptor(fd);
    }
    auto pause = std::chrono::microseconds(100);
    while (::flock(dirLockFd_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return fail(fileError(dir_, "cannot lock", errno));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return fail("Simulated audio system: another process has held the lock on " + dir_ +
                        " for " + std::to_string(lockTimeout_.count()) +
                        " ms (a stopped or hung writer?); giving up");
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(1000));
    }
    return {};
}

bool WorldStore::holdsLock() const {
    struct stat held {
    }, named{};
    return ::fstat(lockFd_.get(), &held) == 0 && ::stat((path_ + ".lock").c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

void WorldStore::unlock() {
    if (dirLockFd_.valid()) {
        ::flock(dirLockFd_.get(), LOCK_UN);
    }
    if (lockFd_.valid()) {
        ::flock(lockFd_.get(), LOCK_UN);
    }
}

void WorldStore::removeAbandonedTemporaries() {
    // Only while no writer runs; if one does, a later start cleans up.
    if (!lockFd_.valid() || ::flock(lockFd_.get(), LOCK_EX | LOCK_NB) != 0) {
        return;
    }
    AtExit release([this] { unlock(); });
    DIR* d = ::opendir(dir_.c_str());
    if (d == nullptr) {
        return;
    }
    std::string prefix = "." + base_ + ".tmp-";
    while (dirent* entry = ::readdir(d)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0 &&
            abandoned(::dirfd(d), entry->d_name)) {
            ::unlinkat(::dirfd(d), entry->d_name, 0);
        }
    }
    ::closedir(d);
}

Result<std::unique_ptr<WorldStore>, std::string> WorldStore::open(std::string path,
                                                                  bool createIfMissing) {
    if (path.empty()) {
        return fail(std::string("Simulated audio system: empty world file path"));
    }
    std::unique_ptr<WorldStore> store(new WorldStore(std::move(path)));
    struct stat dirStat {};
    if (::stat(store->dir_.c_str(), &dirStat) != 0) {
        return fail(fileError(store->dir_, "world directory", errno));
    }
    if (!S_ISDIR(dirStat.st_mode)) {
        return fail("Simulated audio system: world directory " + store->dir_ +
                    " is not a directory");
    }
    if (auto r = store->openLock(); !r) {
        return fail(r.error());
    }
    store->removeAbandonedTemporaries();
    // Reading needs no lock: files are only ever replaced whole.
    struct stat st {};
    if (::stat(store->path_.c_str(), &st) == 0 || errno != ENOENT || !createIfMissing) {
        if (auto r = store->load(); !r) {
            return fail(r.error());
        }
        return store;
    }
    if (auto r = store->lockForWriting(); !r) {
        return fail(r.error());
    }
    AtExit release([raw = store.get()] { raw->unlock(); });
    // Another process may have created it meanwhile.
    auto r =
        ::stat(store->path_.c_str(), &st) == 0 ? store->load() : store->writeLocked(defaultWorld());
    if (!r) {
        return fail(r.error());
    }
    return store;
}

bool WorldStore::fileChanged() {
    if (!loaded_) {
        return true;
    }
    if (lockFd_.valid()) {
        struct stat lock {};
        if (::fstat(lockFd_.get(), &lock) != 0 || lock.st_nlink == 0) {
            // Deleted or replaced: the writers stamp another file now.
            lockFd_ = FileDescriptor();
            (void)openLock();
        } else {
            const ChangeStamp seen = stampOf(lock);
            const std::int64_t now = coarseNowNs();
            if (seen == seenStamp_ && seen.settled() && now < nextStatCheckNs_) {
                return false;
            }
            // Taken before the stat: a write that ends after it moves the stamp again.
            seenStamp_ = seen;
            nextStatCheckNs_ = now + kStatCheckIntervalNs;
        }
    }
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        return true;
    }
    return !sameFile(st, fileStat_);
}

Result<void, std::string> WorldStore::load() {
    // Non-blocking, so that a FIFO in its place cannot hang us.
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int e = errno;
        auto message = fileError(path_, "cannot read world file", e);
        errno = e;
        return fail(message);
    }
    FileDescriptor file(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return fail(fileError(path_, "cannot read world file", errno));
    }
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return fail("Simulated audio system: world file " + path_ + " is not a regular file");
    }
    auto text = readAll(fd);
    if (!text) {
        return fail(fileError(path_, "cannot read world file", text.error()));
    }
    auto world = parseWorld(*text);
    if (!world) {
        errno = EINVAL;
        return fail("Simulated audio system: malformed world file " + path_ + ": " + world.error());
    }
    world_ = std::move(*world);
    fileFd_ = std::move(file);
    fileStat_ = st;
    loaded_ = true;
    ++generation_;
    liveness_.retain(world_);
    return {};
}

Result<const World*, std::string> WorldStore::current() {
    if (fileChanged()) {
        if (auto r = load(); !r) {
            loaded_ = false;
            return fail(r.error());
        }
    }
    return &world_;
}

Result<void, std::string> WorldStore::writeLocked(const World& world) {
    std::string text = serializeWorld(world);
    std::string tempPath = dir_ + "/." + base_ + ".tmp-XXXXXX";
    std::vector<char> name(tempPath.begin(), tempPath.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        return fail(fileError(dir_, "cannot write in", errno));
    }
    FileDescriptor file(fd);
    // Held until the file is renamed, so that nobody takes it for a dead writer's.
    ::flock(fd, LOCK_EX | LOCK_NB);
    struct stat lock {};
    int e = ::fstat(lockFd_.get(), &lock) == 0 ? 0 : errno;
    // Odd while the write is under way; already odd when a writer died mid-write.
    std::int64_t begun = std::int64_t(lock.st_mtim.tv_sec) | 1;
    if (e == 0) {
        e = setStamp(lockFd_.get(), begun);
    }
    if (e == 0) {
        e = writeAll(fd, text);
    }
    if (e == 0 && ::fsync(fd) != 0) {
        e = errno;
    }
    struct stat st {};
    if (e == 0 && ::fstat(fd, &st) != 0) {
        e = errno;
    }
    if (e == 0 && ::rename(name.data(), path_.c_str()) != 0) {
        e = errno;
    }
    if (e != 0) {
        ::unlink(name.data());
        return fail(fileError(path_, "cannot write world file", e));
    }
    // The directory lock kept us alone even if the lock file was replaced meanwhile; readers
    // watch the file now at the lock path, so that is the one to stamp.
    if (!holdsLock()) {
        lockFd_ = FileDescriptor();
        struct stat now {};
        if (openLock() && ::fstat(lockFd_.get(), &now) == 0) {
            begun = std::int64_t(now.st_mtim.tv_sec) | 1;
        }
    }
    // Should this fail, the stamp stays odd and readers look at the file on every call.
    const bool stamped = setStamp(lockFd_.get(), begun + 1) == 0;
    // Our own write needs no re-read.
    seenStamp_ = stamped ? ChangeStamp{begun + 1, 0} : ChangeStamp{};
    nextStatCheckNs_ = coarseNowNs() + kStatCheckIntervalNs;
    world_ = world;
    fileFd_ = std::move(file);
    fileStat_ = st;
    loaded_ = true;
    ++generation_;
    return {};
}

Result<bool, std::string> WorldStore::mutate(const std::function<bool(World&)>& change) {
    if (auto r = lockForWriting(); !r) {
        return fail(r.error());
    }
    AtExit release([this] { unlock(); });
    // A writer always looks at the file itself, so even a hand edit is never written over.
    nextStatCheckNs_ = 0;
    auto now = current();
    if (!now) {
        return fail(now.error());
    }
    World next = **now;
    const std::uint32_t firstFree = next.nextObjectID;
    bool pruned = pruneDead(next, liveness_);
    bool changed = change(next);
    if (!changed && !pruned) {
        return false;
    }
    if (next.nextObjectID < firstFree) {
        return fail("Simulated audio system: no object IDs left in " + path_ +
                    " (the ID counter is at its limit)");
    }
    if (auto r = writeLocked(next); !r) {
        return fail(r.error());
    }
    return true;
}

Result<void, std::string> WorldStore::writeWorld(const std::string& path, const World& world) {
    std::unique_ptr<WorldStore> store(new WorldStore(path));
    if (auto r = store->lockForWriting(); !r) {
        return r;
    }
    AtExit release([&] { store->unlock(); });
    return store->writeLocked(world);
}

}  // namespace pellimar::audio::sim
