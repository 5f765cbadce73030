#include "announcement_player/prepared_wav.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
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

// Little-endian 16-bit samples as read from the file to floats in [-1, 1). Runs of 16 give the
// compiler a loop it vectorises; this loop was most of a long clip's load time.
void convertToFloat(std::int16_t* samples, std::size_t count, float* out) {
    constexpr float kScale = 0.000030517578125f;
    if constexpr (std::endian::native != std::endian::little) {
        for (std::size_t i = 0; i < count; ++i) {
            const auto* b = reinterpret_cast<const unsigned char*>(samples + i);
            samples[i] = std::int16_t(u16(b));
        }
    }
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        for (std::size_t k = 0; k < 16; ++k) {
            out[i + k] = float(samples[i + k]) * kScale;
        }
    }
    for (; i < count; ++i) {
        out[i] = float(samples[i]) * kScale;
    }
}

}  // namespace

namespace {
constexpr std::size_t kLargeSampleBlock = std::size_t(2) << 20;
}

void* allocateSampleMemory(std::size_t bytes) {
    if (bytes < kLargeSampleBlock) {
        if (void* p = std::malloc(std::max<std::size_t>(bytes, 1))) {
            return p;
        }
        throw std::bad_alloc();
    }
    // Populated in one call rather than faulted in a page at a time while it is filled. (Huge
    // pages were tried: fast once free ones exist, but compacting memory for them cost seconds.)
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED) {
        throw std::bad_alloc();
    }
    return p;
}

void freeSampleMemory(void* p, std::size_t bytes) noexcept {
    if (bytes < kLargeSampleBlock) {
        std::free(p);
    } else if (p) {
        ::munmap(p, bytes);
    }
}

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

    // One pass over the data in blocks small enough to stay in cache between the read and the
    // conversion: the float array is the only large allocation.
    Samples samples(std::size_t(dataSize / 2));
    constexpr std::int64_t kBlock = 1 << 17;
    std::vector<std::int16_t> block(std::size_t(std::min(kBlock, dataSize) / 2));
    float* out = samples.data();
    for (std::int64_t done = 0; done < dataSize;) {
        const std::int64_t n = std::min(kBlock, dataSize - done);
        if (!file.fill(dataOffset + done, n, reinterpret_cast<unsigned char*>(block.data()))) {
            return fail(readError());
        }
        convertToFloat(block.data(), std::size_t(n / 2), out);
        out += n / 2;
        done += n;
    }
    return samples;
}

}  // namespace pellimar::announcement
