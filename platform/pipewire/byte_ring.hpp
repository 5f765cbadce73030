#pragma once
// A single-producer, single-consumer byte ring for handing audio to a realtime thread: neither
// side locks or allocates. Positions only grow (64 bits never wrap in practice), so full and
// empty need no spare slot.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace pellimar::audio {

class ByteRing {
  public:
    // `capacity` is rounded up to a power of two.
    explicit ByteRing(std::size_t capacity) {
        std::size_t size = 1;
        while (size < capacity) {
            size <<= 1;
        }
        storage_.assign(size, 0);
    }

    std::size_t capacity() const { return storage_.size(); }

    // Either side: bytes written and not yet read.
    std::size_t size() const {
        return std::size_t(write_.load(std::memory_order_acquire) -
                           read_.load(std::memory_order_acquire));
    }

    // Producer: copies as much of `data` as fits; returns the bytes taken.
    std::size_t write(const std::uint8_t* data, std::size_t bytes) {
        const std::uint64_t w = write_.load(std::memory_order_relaxed);
        const std::uint64_t r = read_.load(std::memory_order_acquire);
        const std::size_t n = std::min(bytes, capacity() - std::size_t(w - r));
        copy(w, n, [&](std::size_t at, std::size_t off, std::size_t len) {
            std::memcpy(storage_.data() + at, data + off, len);
        });
        write_.store(w + n, std::memory_order_release);
        return n;
    }

    // Consumer: copies up to `bytes` into `out` (or drops them when `out` is null); returns the
    // bytes taken.
    std::size_t read(std::uint8_t* out, std::size_t bytes) {
        const std::uint64_t r = read_.load(std::memory_order_relaxed);
        const std::uint64_t w = write_.load(std::memory_order_acquire);
        const std::size_t n = std::min(bytes, std::size_t(w - r));
        if (out) {
            copy(r, n, [&](std::size_t at, std::size_t off, std::size_t len) {
                std::memcpy(out + off, storage_.data() + at, len);
            });
        }
        read_.store(r + n, std::memory_order_release);
        return n;
    }

  private:
    template <typename F>
    void copy(std::uint64_t position, std::size_t n, F part) {
        const std::size_t at = std::size_t(position & (capacity() - 1));
        const std::size_t first = std::min(n, capacity() - at);
        if (first) {
            part(at, 0, first);
        }
        if (n > first) {
            part(0, first, n - first);
        }
    }

    std::vector<std::uint8_t> storage_;
    std::atomic<std::uint64_t> write_{0};
    std::atomic<std::uint64_t> read_{0};
};

}  // namespace pellimar::audio
