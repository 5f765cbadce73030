#include "platform/audio_system/sim/world_store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace pellimar::audio::sim {

namespace {

std::string errnoText(int error) {
    return std::strerror(error);
}

std::string fileError(const std::string& path, const std::string& what, int error) {
    return "Simulated audio system: " + what + " " + path + ": " + errnoText(error);
}

// Holds the exclusive lock for one mutation.
class LockGuard {
  public:
    explicit LockGuard(int fd) : fd_(fd) {}
    ~LockGuard() {
        if (locked_) {
            ::flock(fd_, LOCK_UN);
        }
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    int lock() {
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                return errno;
            }
        }
        locked_ = true;
        return 0;
    }

  private:
    int fd_;
    bool locked_ = false;
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

int writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += std::size_t(n);
    }
    return 0;
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

std::int64_t coarseNowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

SharedChangeCounter::~SharedChangeCounter() {
    if (word_ != nullptr) {
        ::munmap(word_, sizeof(std::uint64_t));
    }
}

bool SharedChangeCounter::map(int lockFd) {
    struct stat st {};
    if (::fstat(lockFd, &st) != 0) {
        return false;
    }
    // Growing from 0 to 8 bytes is harmless when two processes race on it; never shrink.
    if (st.st_size < off_t(sizeof(std::uint64_t)) &&
        ::ftruncate(lockFd, sizeof(std::uint64_t)) != 0) {
        return false;
    }
    void* p = ::mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, lockFd, 0);
    if (p == MAP_FAILED) {
        return false;
    }
    word_ = static_cast<std::uint64_t*>(p);
    return true;
}

std::uint64_t SharedChangeCounter::load() const {
    return std::atomic_ref<std::uint64_t>(*word_).load(std::memory_order_acquire);
}

std::uint64_t SharedChangeCounter::beginWrite() {
    std::atomic_ref<std::uint64_t> word(*word_);
    // Already odd when a writer died mid-write; it stays odd until this write ends.
    std::uint64_t odd = word.load(std::memory_order_relaxed) | 1;
    word.store(odd, std::memory_order_seq_cst);
    return odd;
}

void SharedChangeCounter::endWrite(std::uint64_t begun) {
    std::atomic_ref<std::uint64_t>(*word_).store(begun + 1, std::memory_order_release);
}

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
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return fail(fileError(lockPath, "cannot open lock file", errno));
    }
    lockFd_ = FileDescriptor(fd);
    counter_.map(lockFd_.get());
    return {};
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
    LockGuard guard(store->lockFd_.get());
    if (int e = guard.lock()) {
        return fail(fileError(store->path_, "cannot lock", e));
    }
    // Temporary files left by writers that died mid-write; no writer is active while we hold the
    // lock.
    if (DIR* d = ::opendir(store->dir_.c_str())) {
        std::string prefix = "." + store->base_ + ".tmp-";
        while (dirent* entry = ::readdir(d)) {
            if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
                ::unlinkat(::dirfd(d), entry->d_name, 0);
            }
        }
        ::closedir(d);
    }
    struct stat st {};
    if (::stat(store->path_.c_str(), &st) != 0) {
        if (errno != ENOENT || !createIfMissing) {
            return fail(fileError(store->path_, "cannot read world file", errno));
        }
        if (auto r = store->writeLocked(defaultWorld()); !r) {
            return fail(r.error());
        }
        return store;
    }
    if (auto r = store->load(); !r) {
        return fail(r.error());
    }
    return store;
}

bool WorldStore::fileChanged() {
    if (!loaded_) {
        return true;
    }
    if (counter_.mapped()) {
        const std::uint64_t seen = counter_.load();
        const std::int64_t now = coarseNowNs();
        if (seen == seenCounter_ && (seen & 1) == 0 && now < nextStatCheckNs_) {
            return false;
        }
        // Taken before the stat: a write that ends after it moves the counter again.
        seenCounter_ = seen;
        nextStatCheckNs_ = now + kStatCheckIntervalNs;
    }
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        return true;
    }
    return !sameFile(st, fileStat_);
}

Result<void, std::string> WorldStore::load() {
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return fail(fileError(path_, "cannot read world file", errno));
    }
    FileDescriptor file(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return fail(fileError(path_, "cannot read world file", errno));
    }
    if (!S_ISREG(st.st_mode)) {
        return fail("Simulated audio system: world file " + path_ + " is not a regular file");
    }
    auto text = readAll(fd);
    if (!text) {
        return fail(fileError(path_, "cannot read world file", text.error()));
    }
    auto world = parseWorld(*text);
    if (!world) {
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
    const bool counted = counter_.mapped();
    const std::uint64_t begun = counted ? counter_.beginWrite() : 0;
    int e = writeAll(fd, text);
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
    if (counted) {
        counter_.endWrite(begun);
    }
    if (e != 0) {
        ::unlink(name.data());
        return fail(fileError(path_, "cannot write world file", e));
    }
    // Our own write needs no re-read.
    seenCounter_ = counted ? begun + 1 : 1;
    nextStatCheckNs_ = coarseNowNs() + kStatCheckIntervalNs;
    world_ = world;
    fileFd_ = std::move(file);
    fileStat_ = st;
    loaded_ = true;
    ++generation_;
    return {};
}

Result<bool, std::string> WorldStore::mutate(const std::function<bool(World&)>& change) {
    if (auto r = openLock(); !r) {
        return fail(r.error());
    }
    LockGuard guard(lockFd_.get());
    if (int e = guard.lock()) {
        return fail(fileError(path_, "cannot lock", e));
    }
    // A writer always looks at the file itself, so even a hand edit is never written over.
    nextStatCheckNs_ = 0;
    auto now = current();
    if (!now) {
        return fail(now.error());
    }
    World next = **now;
    bool pruned = pruneDead(next, liveness_);
    bool changed = change(next);
    if (!changed && !pruned) {
        return false;
    }
    if (auto r = writeLocked(next); !r) {
        return fail(r.error());
    }
    return true;
}

Result<void, std::string> WorldStore::writeWorld(const std::string& path, const World& world) {
    std::unique_ptr<WorldStore> store(new WorldStore(path));
    if (auto r = store->openLock(); !r) {
        return fail(r.error());
    }
    LockGuard guard(store->lockFd_.get());
    if (int e = guard.lock()) {
        return fail(fileError(path, "cannot lock", e));
    }
    return store->writeLocked(world);
}

}  // namespace pellimar::audio::sim
