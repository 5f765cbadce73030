#include "player/decoder_text.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace pellimar::player {
namespace {

// The words of a stream cut short: "stream ends prematurely|input/output error|
// connection (reset|timed out)|error during demuxing|error in the pull function", spelled out.
constexpr std::array<std::string_view, 6> kIncompleteStreamWords = {
    "stream ends prematurely", "input/output error",    "connection reset",
    "connection timed out",    "error during demuxing", "error in the pull function"};

constexpr std::size_t longestWords() {
    std::size_t longest = 0;
    for (auto words : kIncompleteStreamWords) {
        longest = std::max(longest, words.size());
    }
    return longest;
}

char lowered(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool isTrimmable(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

void DecoderText::append(const char* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    scan(data, size);
    validate(data, size);
    kept_.append(data, size);
    // Cut back only now and then, so the kept end costs amortised constant time per byte.
    if (kept_.size() >= 2 * kKeptBytes) {
        kept_.erase(0, kept_.size() - kKeptBytes);
        truncated_ = true;
    }
}

void DecoderText::scan(const char* data, std::size_t size) {
    if (matched_) {
        return;
    }
    std::string window = std::move(carry_);
    const std::size_t start = window.size();
    window.resize(start + size);
    std::transform(data, data + size, window.begin() + std::ptrdiff_t(start), lowered);
    for (auto words : kIncompleteStreamWords) {
        if (window.find(words) != std::string::npos) {
            matched_ = true;
            return;
        }
    }
    const std::size_t keep = std::min(window.size(), longestWords() - 1);
    carry_.assign(window, window.size() - keep, keep);
}

// The rules of a strict decoder: no overlong forms, no surrogates, nothing above U+10FFFF.
void DecoderText::validate(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size && !invalid_; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (continuation_ > 0) {
            if ((c & 0xC0) != 0x80) {
                invalid_ = true;
                break;
            }
            codePoint_ = (codePoint_ << 6) | (c & 0x3F);
            if (--continuation_ == 0) {
                invalid_ = (length_ == 2 && codePoint_ < 0x80) ||
                           (length_ == 3 && codePoint_ < 0x800) ||
                           (length_ == 4 && (codePoint_ < 0x10000 || codePoint_ > 0x10FFFF)) ||
                           (codePoint_ >= 0xD800 && codePoint_ <= 0xDFFF);
            }
        } else if (c >= 0x80) {
            length_ = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
            if (length_ == 0) {
                invalid_ = true;
                break;
            }
            codePoint_ = c & (0x7F >> length_);
            continuation_ = length_ - 1;
        }
    }
}

bool DecoderText::validUtf8() const {
    return !invalid_ && continuation_ == 0;
}

bool DecoderText::mentionsIncompleteStream() const {
    return matched_ && validUtf8();
}

std::string DecoderText::trimmed() const {
    if (!validUtf8()) {
        return {};
    }
    std::size_t begin = 0;
    std::size_t end = kept_.size();
    const bool cut = truncated_ || kept_.size() > kKeptBytes;
    if (cut) {
        begin = kept_.size() - kKeptBytes;
        while (begin < end && isContinuation(kept_[begin])) {
            ++begin;
        }
    }
    while (begin < end && isTrimmable(kept_[begin])) {
        ++begin;
    }
    while (end > begin && isTrimmable(kept_[end - 1])) {
        --end;
    }
    if (begin == end) {
        return {};
    }
    return (cut ? "\u2026" : "") + kept_.substr(begin, end - begin);
}

}  // namespace pellimar::player
