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

// A block of bytes owned by one holder at a time.
class CharBlock {
public:
    CharBlock() noexcept = default;
    CharBlock(const CharBlock&) = delete;
    CharBlock& operator=(const CharBlock&) = delete;
    CharBlock(CharBlock&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    CharBlock& operator=(CharBlock&& other) noexcept {
        if (this != &other) {
            PyMem_RawFree(data_);
            data_ = std::exchange(other.data_, nullptr);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~CharBlock() { PyMem_RawFree(data_); }

    char* data() const noexcept { return data_; }
    Py_ssize_t capacity() const noexcept { return capacity_; }

    // Grows the block to `capacity` bytes, keeping its content. -1 with
    // MemoryError set on failure, the block unchanged.
    int resize(Py_ssize_t capacity) noexcept {
        void* grown = PyMem_RawRealloc(data_, static_cast<size_t>(capacity));
        if (grown == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
        return 0;
    }

    // Gives back all but the first `capacity` bytes, or the whole block if
    // it cannot be cut down. Sets no error.
    void shrink(Py_ssize_t capacity) noexcept {
        if (capacity_ <= capacity) return;
        void* kept = PyMem_RawRealloc(data_, static_cast<size_t>(capacity));
        if (kept == nullptr) {
            PyMem_RawFree(data_);
            capacity = 0;
        }
        data_ = static_cast<char*>(kept);
        capacity_ = capacity;
    }

private:
    char* data_ = nullptr;
    Py_ssize_t capacity_ = 0;
};

// Bytes appended at the end of a block, which at least doubles when it is full.
class CharRun {
public:
    CharRun() noexcept = default;
    explicit CharRun(CharBlock block) noexcept : block_(std::move(block)) {}

    const char* data() const noexcept { return block_.data(); }
    Py_ssize_t size() const noexcept { return size_; }

    // Room for `count` (at least one) more bytes, counted as written: where
    // they go, or null with MemoryError set.
    char* extend(Py_ssize_t count) noexcept {
        if (count > block_.capacity() - size_ && grow(count) < 0) return nullptr;
        char* at = block_.data() + size_;
        size_ += count;
        return at;
    }
    int append(const char* chars, Py_ssize_t count) noexcept {
        if (count == 0) return 0;  // nothing to place, even where no block exists yet
        char* at = extend(count);
        if (at == nullptr) return -1;
        copy_chars(at, chars, static_cast<size_t>(count));
        return 0;
    }
    void truncate(Py_ssize_t size) noexcept { size_ = size; }

    // The block, for whoever keeps it next; the run is empty afterwards.
    CharBlock release() noexcept {
        size_ = 0;
        return std::move(block_);
    }

private:
    static constexpr Py_ssize_t kFirstCapacity = 256;

    PLEXOR_NOINLINE int grow(Py_ssize_t count) noexcept {
        if (count > PY_SSIZE_T_MAX - size_) {
            PyErr_NoMemory();
            return -1;
        }
        const Py_ssize_t needed = size_ + count;
        Py_ssize_t capacity = block_.capacity() > 0 ? block_.capacity() : kFirstCapacity;
        while (capacity < needed) capacity = capacity > PY_SSIZE_T_MAX / 2 ? needed : capacity * 2;
        return block_.resize(capacity);
    }

    CharBlock block_;
    Py_ssize_t size_ = 0;
};

}  // namespace plexor
