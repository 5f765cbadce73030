#pragma once
// Prepared announcement clips: 48 kHz stereo 16-bit WAV files, at most 30 minutes, read whole and
// turned into interleaved float samples.

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "announcement_player/player_error.hpp"

namespace pellimar::announcement {

// Sample memory: most of a long clip's load time was the kernel faulting its samples in 4 KiB at
// a time, so large blocks come mapped and populated at once.
void* allocateSampleMemory(std::size_t bytes);
void freeSampleMemory(void* p, std::size_t bytes) noexcept;

// Leaves new elements uninitialised, so a 30-minute clip is not written twice (zeros, then
// samples) while it loads.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) {}
    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        return static_cast<T*>(allocateSampleMemory(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { freeSampleMemory(p, n * sizeof(T)); }
    template <typename U>
    void construct(U* p) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// Interleaved stereo floats: left, right, left, right ...
using Samples = std::vector<float, UninitialisedAllocator<float>>;

inline constexpr std::int64_t kLargestAnnouncementFile = 345'665'536;
inline constexpr std::int64_t kLongestAnnouncementFrames = 86'400'000;

inline constexpr const char* kFileTooLarge = "Announcement file is too large.";
inline constexpr const char* kInvalidWav = "Invalid announcement WAV.";
inline constexpr const char* kInvalidChunkBounds = "Invalid WAV chunk bounds.";
inline constexpr const char* kWrongFormat =
    "Announcement must be 48kHz stereo PCM16, at most 30 minutes.";

// Only regular files are read (a FIFO or device would block or never end), and never more than
// the size the file had when it was opened. A missing or unreadable file fails with the system's
// description of the error.
PlayerResult<Samples> readPreparedAnnouncementPCM(const std::string& path);

}  // namespace pellimar::announcement
