// Growable runs of bytes from the interpreter's raw allocator, for text that
// is assembled before the interpreter makes an object of it.
#pragma once

#include "compat.hpp"
#include "compiler.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

namespace plexor {

// A word of `width` bytes read from, or written to, memory of any alignment.
template <size_t width>
struct Bytes {
    char bytes[width];
};
template <typename Word>
Word load(const char* at) noexcept {
    Word word{};
    std::memcpy(&word, at, sizeof word);
    return word;
}
template <typename Word>
void store(char* at, const Word& word) noexcept {
    std::memcpy(at, &word, sizeof word);
}

// Copies `count` bytes, between one and two words, as a first and a last word
// that overlap when `count` is less than two words.
template <typename Word>
void copy_two_words(char* to, const char* from, size_t count) noexcept {
    const Word head = load<Word>(from);
    const Word tail = load<Word>(from + count - sizeof(Word));
    store(to, head);
    store(to + count - sizeof(Word), tail);
}

// Copies `count` bytes. Short pieces (separators, labels, keys) are moved with
// a few fixed-size loads and stores instead of a call.
inline void copy_chars(char* to, const char* from, size_t count) noexcept {
    if (count > 32) {
        std::memcpy(to, from, count);
    } else if (count >= 16) {
        copy_two_words<Bytes<16>>(to, from, count);
    } else if (count >= 8) {
        copy_two_words<uint64_t>(to, from, count);
    } else if (count >= 4) {
        copy_two_words<uint32_t>(to, from, count);
    } else if (count > 0) {
        const char first = from[0];
        const char middle = from[count / 2];
        const char last = from[count - 1];
        to[0] = first;
        to[count / 2] = middle;
        to[count - 1] = last;
    }
}

// True when a word holds the byte '\n'.
template <typename Word>
bool word_has_line_break(Word word) noexcept {
    constexpr Word kOnes = static_cast<Word>(0x0101010101010101ULL);
    const Word x = word ^ static_cast<Word>(kOnes * '\n');
    return ((x - kOnes) & ~x & static_cast<Word>(kOnes * 0x80)) != 0;
}

// True when the `count` bytes at `chars` hold a line break; eight at a time,
// the last word overlapping the one before.
inline bool has_line_break(const char* chars, size_t count) noexcept {
    if (count < 4) {
        for (size_t i = 0; i < count; ++i)
            if (chars[i] == '\n') return true;
        return false;
    }
    if (count < 8)
        return word_has_line_break(load<uint32_t>(chars)) ||
               word_has_line_break(load<uint32_t>(chars + count - 4));
    for (size_t at = 0; at + 8 <= count; at += 8)
        if (word_has_line_break(load<uint64_t>(chars + at))) return true;
    return word_has_line_break(load<uint64_t>(chars + count - 8));
}

}  // namespace plexor
