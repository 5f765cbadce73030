#include "announcement_player/prepared_wav.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pellimar::announcement {
namespace {

// Reads at offsets below the size the file had when it was opened, through a small window, so
// that a file of many tiny chunks costs few system calls and a file that grows is not followed.
class BoundedFile {
  public:
    static constexpr std::int64_t kWindow = 1 << 16;

    BoundedFile(int fd, std::int64_t size) : fd_(fd), size_(size) {}
    ~BoundedFile() { ::close(fd_); }
    BoundedFile(const BoundedFile&) = delete;
    BoundedFile& operator=(const BoundedFile&) = delete;

    std::int64_t size() const { return size_; }

    // Copies `n` bytes at `offset`; false when the file is shorter than it was (errno set).
    bool read(std::int64_t offset, std::int64_t n, unsigned char* out) {
        while (n > 0) {
            if (offset < windowStart_ || offset >= windowStart_ + windowSize_) {
                windowStart_ = offset;
                windowSize_ = 0;
                if (!fill(offset, std::min(kWindow, size_ - offset), window_)) {
                    return false;
                }
                windowSize_ = std::min(kWindow, size_ - offset);
            }
            const std::int64_t take = std::min(n, windowStart_ + windowSize_ - offset);
            std::memcpy(out, window_ + (offset - windowStart_), std::size_t(take));
            out += take;
            offset += take;
            n -= take;
        }
        return true;
    }

    // Reads straight into `out`, bypassing the window (for the bulk of the data).
    bool fill(std::int64_t offset, std::int64_t n, unsigned char* out) {
        while (n > 0) {
            const ssize_t got = ::pread(fd_, out, std::size_t(n), offset);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                if (got == 0) {
                    errno = 0;  // shrank under us
                }
                return false;
            }
            out += got;
            offset += got;
            n -= got;
        }
        return true;
    }

  private:
    int fd_;
    std::int64_t size_;
    unsigned char window_[kWindow];
    std::int64_t windowStart_ = 0;
    std::int64_t windowSize_ = 0;
};

std::uint32_t u32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::uint16_t u16(const unsigned char* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}

PlayerError systemError(int error) {
    return PlayerError::playback(std::strerror(error));
}

// A read that came up short: the file shrank while it was read, or the system failed.
PlayerError readError() {
    return errno == 0 ? PlayerError::playback(kInvalidWav) : systemError(errno);
}

bool formatMatches(BoundedFile& file, std::int64_t body, std::uint32_t size, bool& readFailed) {
    if (size < 16) {
        return false;
    }
    unsigned char f[16];
    if (!file.read(body, 16, f)) {
        readFailed = true;
        return false;
    }
    return u16(f) == 1 && u16(f + 2) == 2 && u32(f + 4) == 48000 && u16(f + 12) == 4 &&
           u16(f + 14) == 16;
}

}  // namespace

PlayerResult<Samples> readPreparedAnnouncementPCM(const std::string& path) {
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0) {
        return fail(systemError(errno));
    }
    if (before.st_size > kLargestAnnouncementFile) {
        return fail(PlayerError::playback(kFileTooLarge));
    }
    // O_NONBLOCK: a FIFO put at the path must not hang the load before it is refused.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return fail(systemError(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(systemError(error));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(PlayerError::playback(kInvalidWav));
    }
    if (st.st_size > kLargestAnnouncementFile) {
        ::close(fd);
        return fail(PlayerError::playback(kFileTooLarge));
    }
    BoundedFile file(fd, st.st_size);
    const std::int64_t count = file.size();

    unsigned char header[12];
    if (count < 12) {
        return fail(PlayerError::playback(kInvalidWav));
    }
    if (!file.read(0, 12, header)) {
        return fail(readError());
    }
    if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0 ||
        std::int64_t(u32(header + 4)) + 8 != count) {
        return fail(PlayerError::playback(kInvalidWav));
    }

    std::int64_t offset = 12, dataOffset = 0, dataSize = 0;
    bool formatOK = false;
    while (offset + 8 <= count) {
        unsigned char chunk[8];
        if (!file.read(offset, 8, chunk)) {
            return fail(readError());
        }
        const std::uint32_t size = u32(chunk + 4);
        const std::int64_t body = offset + 8;
        if (count - body < std::int64_t(size)) {
            return fail(PlayerError::playback(kInvalidChunkBounds));
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            bool readFailed = false;
            formatOK = formatMatches(file, body, size, readFailed);
            if (readFailed) {
                return fail(readError());
            }
        }
        if (std::memcmp(chunk, "data", 4) == 0) {
            dataOffset = body;
            dataSize = size;
        }
        offset = body + size + (size % 2);
    }
    if (!formatOK || dataOffset <= 0 || dataSize <= 0 || dataSize % 4 != 0 ||
        dataSize / 4 > kLongestAnnouncementFrames) {
        return fail(PlayerError::playback(kWrongFormat));
    }

    // One pass over the data in blocks, converting in place behind the read: the float array is
    // the only large allocation.
    Samples samples(std::size_t(dataSize / 2));
    constexpr std::int64_t kBlock = 1 << 20;
    std::vector<unsigned char> block(std::size_t(std::min(kBlock, dataSize)));
    float* out = samples.data();
    for (std::int64_t done = 0; done < dataSize;) {
        const std::int64_t n = std::min(kBlock, dataSize - done);
        if (!file.fill(dataOffset + done, n, block.data())) {
            return fail(readError());
        }
        for (std::int64_t i = 0; i < n; i += 2) {
            const auto s = std::int16_t(u16(block.data() + i));
            *out++ = float(s) * 0.000030517578125f;
        }
        done += n;
    }
    return samples;
}

}  // namespace pellimar::announcement
