#pragma once
// One world file shared by every process: cached reads, atomic locked mutations.

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/common/result.hpp"
#include "platform/sim/world.hpp"

namespace pellimar::audio::sim {

// Owns a descriptor; closes it once.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

// Whether a live process (pid plus start time) still exists. Keeps a pidfd per checked process so
// a repeated check is one poll, and a reused pid is never mistaken for the old process.
class ProcessLiveness {
  public:
    bool alive(std::int32_t pid, std::uint64_t startTime);
    // Drops descriptors of processes not in the world any more.
    void retain(const World& world);

  private:
    struct Entry {
        std::uint64_t startTime = 0;
        FileDescriptor pidfd;  // invalid: known dead
    };
    std::map<std::int32_t, Entry> entries_;
};

// Start time of a process in clock ticks since boot, or nullopt when it does not exist (or is a
// zombie).
std::optional<std::uint64_t> processStartTime(std::int32_t pid);

// Writers number their writes in the modification time of the lock file (whole seconds, even
// once a write is complete, odd while one is under way). A reader whose last seen stamp is still
// there knows the world file is unchanged after one fstat of the lock file, without looking up
// the world's path; a hostile truncation or a deleted lock file cannot crash it.
struct ChangeStamp {
    std::int64_t seconds = 0;
    long nanoseconds = 1;  // never a writer's stamp: unknown
    bool settled() const { return nanoseconds == 0 && (seconds & 1) == 0; }
    bool operator==(const ChangeStamp&) const = default;
};

// Not thread-safe: its owner serialises calls.
class WorldStore {
  public:
    // Opens the world at path. A missing file is created with the default machine when
    // createIfMissing; otherwise (and for unreadable or malformed files) the error says why.
    static Result<std::unique_ptr<WorldStore>, std::string> open(std::string path,
                                                                 bool createIfMissing);

    const std::string& path() const { return path_; }

    // The current world, re-read only when the file changed since the last load (one stat).
    // The reference stays valid until the next call on this store.
    Result<const World*, std::string> current();
    // Makes the next current() look at the file itself, for hand edits the stamp does not show.
    void lookAtFile() { nextStatCheckNs_ = 0; }
    // Counts loads and writes, so callers can tell a fresh world from the one they looked at.
    std::uint64_t generation() const { return generation_; }

    // Under the exclusive lock: re-read, drop dead live processes, apply `change`, and write the
    // result when `change` returns true or processes were dropped. Returns whether it wrote.
    Result<bool, std::string> mutate(const std::function<bool(World&)>& change);

    // Replaces the file with `world` under the lock (for builders and reset).
    static Result<void, std::string> writeWorld(const std::string& path, const World& world);

    ProcessLiveness& liveness() { return liveness_; }

    // How long a writer waits for another writer before giving up with an error.
    void setLockTimeout(std::chrono::milliseconds timeout) { lockTimeout_ = timeout; }

  private:
    explicit WorldStore(std::string path);
    Result<void, std::string> openLock();
    // Takes the writers' lock on the file that is at the lock path now.
    Result<void, std::string> lockForWriting();
    void unlock();
    // Whether the lock file we hold is still the one at the lock path.
    bool holdsLock() const;
    void removeAbandonedTemporaries();
    Result<void, std::string> lockDirectory(std::chrono::steady_clock::time_point deadline);
    Result<void, std::string> load();
    Result<void, std::string> writeLocked(const World& world);
    bool fileChanged();

    std::string path_;
    std::string dir_;
    std::string base_;
    FileDescriptor lockFd_;
    // Writers also lock the world's directory, which nobody can delete under them: a lock file
    // deleted between a writer's last look at it and its rename must not let a second writer in.
    FileDescriptor dirLockFd_;
    std::chrono::milliseconds lockTimeout_{20000};
    // The stamp the cached world is known to be current for.
    ChangeStamp seenStamp_;
    // Hand edits of the file do not move the stamp, so the file is still looked at now and then.
    std::int64_t nextStatCheckNs_ = 0;
    // Kept open so its inode cannot be reused by a later write while we compare against it.
    FileDescriptor fileFd_;
    struct stat fileStat_ {};
    bool loaded_ = false;
    World world_;
    std::uint64_t generation_ = 0;
    ProcessLiveness liveness_;
};

}  // namespace pellimar::audio::sim
