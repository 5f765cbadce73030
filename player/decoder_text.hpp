#pragma once
// What the pipeline makes of the decoder's standard error. The whole text is judged as it streams
// past, in bounded memory; only its end is kept for the error line.

#include <cstddef>
#include <cstdint>
#include <string>

namespace pellimar::player {

class DecoderText {
  public:
    // The most that goes into an error line.
    static constexpr std::size_t kKeptBytes = 64 * 1024;

    void append(const char* data, std::size_t size);
    void append(const std::string& text) { append(text.data(), text.size()); }

    // Whether the whole text so far is UTF-8; text that is not counts as empty.
    bool validUtf8() const;
    // Whether the text names a stream cut short (any letter case), anywhere in it.
    bool mentionsIncompleteStream() const;
    // The text trimmed of white space and line breaks at both ends; empty when not UTF-8. A text
    // longer than kKeptBytes gives its end, after a HORIZONTAL ELLIPSIS.
    std::string trimmed() const;

  private:
    void scan(const char* data, std::size_t size);
    void validate(const char* data, std::size_t size);

    bool matched_ = false;
    std::string carry_;  // lower-cased end of the text, for words split between chunks

    bool invalid_ = false;
    int continuation_ = 0;  // bytes still owed by the current sequence
    int length_ = 0;        // length of the current sequence
    std::uint32_t codePoint_ = 0;

    std::string kept_;
    bool truncated_ = false;
};

}  // namespace pellimar::player
