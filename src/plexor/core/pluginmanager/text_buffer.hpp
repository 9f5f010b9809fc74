// The text of a rendering, written piece by piece before the interpreter
// makes a str of it. Inline, as the renderer writes many short pieces.
#pragma once

#include "byte_block.hpp"
#include "compiler.hpp"
#include "runtime.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace plexor {

// True when the `count` bytes at `chars` hold a line break.
inline bool has_line_break(const char* chars, size_t count) noexcept {
    return std::memchr(chars, '\n', count) != nullptr;
}

// Bytes appended at the end of a block, which at least doubles when it is full.
class CharRun {
public:
    CharRun() noexcept = default;
    explicit CharRun(ByteBlock block) noexcept : block_(std::move(block)) {}

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
        std::memcpy(at, chars, static_cast<size_t>(count));
        return 0;
    }
    void truncate(Py_ssize_t size) noexcept { size_ = size; }

    // The block, for whoever keeps it next; the run is empty afterwards.
    ByteBlock release() noexcept {
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

    ByteBlock block_;
    Py_ssize_t size_ = 0;
};

// The text being rendered; every line break is followed by the separators of
// the levels that enclose the point of writing. While every character is
// ASCII the text is written as bytes, into memory the member function keeps
// from one rendering to the next; from the first other character on, the
// characters are kept four bytes each. The interpreter makes the finished
// text from either, in its canonical form.
class TextBuffer {
public:
    explicit TextBuffer(KeptBlock& kept) noexcept : kept_(kept), ascii_(kept.take()) {}
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer() { kept_.give_back(ascii_.release()); }

    // Enters a child level: "  " below the last child, "  |" below the others.
    // Returns what leave() takes to restore the enclosing level, or -1.
    Py_ssize_t enter(bool last) noexcept {
        const Py_ssize_t outer = separators_.size();
        if (separators_.append("  |", last ? 2 : 3) < 0) return -1;
        return outer;
    }
    void leave(Py_ssize_t outer) noexcept { separators_.truncate(outer); }

    int write_ascii(const char* ascii, size_t length) noexcept {
        if (wide_) return append_wide(reinterpret_cast<const Py_UCS1*>(ascii), length);
        return ascii_.append(ascii, static_cast<Py_ssize_t>(length));
    }

    // Writes a text, each of its line breaks followed by the separators.
    int write(PyObject* text) noexcept {
        if (compat::ready_text(text) < 0) return -1;
        if (!wide_ && PyUnicode_IS_ASCII(text)) {
            const char* ascii = static_cast<const char*>(PyUnicode_DATA(text));
            const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
            if (!has_line_break(ascii, length))
                return ascii_.append(ascii, static_cast<Py_ssize_t>(length));
        }
        return write_any(text);
    }

    // A line break and the separators of the enclosing levels.
    int line_break() noexcept { return line_break_and<0>(""); }

    // A line break, the separators and "  |": the start of a child's first line.
    int child_line_break() noexcept { return line_break_and<3>("  |"); }

    // write() of a text of several lines, or of wide characters.
    PLEXOR_NOINLINE int write_any(PyObject* text) noexcept {
        const void* data = PyUnicode_DATA(text);
        const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
        if (PyUnicode_IS_ASCII(text)) {
            const char* ascii = static_cast<const char*>(data);
            if (!has_line_break(ascii, length)) return write_ascii(ascii, length);
            return write_lines(ascii, length, [this](const char* chars, size_t count) {
                return write_ascii(chars, count);
            });
        }
        if (!wide_ && widen() < 0) return -1;
        const auto append = [this](const auto* chars, size_t count) {
            return append_wide(chars, count);
        };
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND:
                return write_lines(static_cast<const Py_UCS1*>(data), length, append);
            case PyUnicode_2BYTE_KIND:
                return write_lines(static_cast<const Py_UCS2*>(data), length, append);
            default:
                return write_lines(static_cast<const Py_UCS4*>(data), length, append);
        }
    }

    size_t position() const noexcept {
        return wide_ ? wide_chars_.size() : static_cast<size_t>(ascii_.size());
    }

    // Takes back what was written from `mark` on, as the text it was written
    // from: without the separators that followed its line breaks.
    Ref take(size_t mark) noexcept {
        Ref written = text_from(mark);
        truncate(mark);
        if (!written || separators_.size() == 0) return written;
        Ref separators =
            Ref::steal(PyUnicode_FromStringAndSize(separators_.data(), separators_.size()));
        if (!separators) return Ref();
        Ref indented = Ref::steal(PyUnicode_Concat(runtime.names.newline, separators.get()));
        if (!indented) return Ref();
        return Ref::steal(
            PyUnicode_Replace(written.get(), indented.get(), runtime.names.newline, -1));
    }

    void truncate(size_t mark) noexcept {
        if (wide_) {
            wide_chars_.resize(mark);
        } else {
            ascii_.truncate(static_cast<Py_ssize_t>(mark));
        }
    }

    Ref finish() noexcept { return text_from(0); }

private:
    template <typename Step>
    static int guarded(const Step& step) noexcept {
        try {
            step();
            return 0;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        } catch (const std::length_error&) {
            PyErr_NoMemory();
            return -1;
        }
    }

    // A line break, the separators and the `tail_length` characters of `tail`.
    template <size_t tail_length>
    int line_break_and(const char* tail) noexcept {
        const Py_ssize_t length = separators_.size();
        if (wide_) {
            if (write_ascii("\n", 1) < 0) return -1;
            if (write_ascii(separators_.data(), static_cast<size_t>(length)) < 0) return -1;
            return write_ascii(tail, tail_length);
        }
        char* out = ascii_.extend(1 + length + static_cast<Py_ssize_t>(tail_length));
        if (out == nullptr) return -1;
        out[0] = '\n';
        if (length > 0) std::memcpy(out + 1, separators_.data(), static_cast<size_t>(length));
        std::memcpy(out + 1 + length, tail, tail_length);
        return 0;
    }

    // From the first character that is not ASCII on, four bytes each.
    int widen() noexcept {
        const auto* chars = reinterpret_cast<const Py_UCS1*>(ascii_.data());
        const int status = guarded([&] { wide_chars_.assign(chars, chars + ascii_.size()); });
        if (status < 0) return -1;
        ascii_.truncate(0);
        wide_ = true;
        return 0;
    }

    template <typename Char>
    PLEXOR_NOINLINE int append_wide(const Char* chars, size_t count) noexcept {
        return guarded([&] { wide_chars_.insert(wide_chars_.end(), chars, chars + count); });
    }

    // The next line break in [chars, end), or end.
    static const char* next_line_break(const char* chars, const char* end) noexcept {
        const void* found = std::memchr(chars, '\n', static_cast<size_t>(end - chars));
        if (found == nullptr) return end;
        return static_cast<const char*>(found);
    }
    template <typename Char>
    static const Char* next_line_break(const Char* chars, const Char* end) noexcept {
        return std::find(chars, end, static_cast<Char>('\n'));
    }

    template <typename Char, typename Append>
    int write_lines(const Char* chars, size_t length, const Append& append) noexcept {
        const Char* end = chars + length;
        for (;;) {
            const Char* stop = next_line_break(chars, end);
            if (append(chars, static_cast<size_t>(stop - chars)) < 0) return -1;
            if (stop == end) return 0;
            if (line_break() < 0) return -1;
            chars = stop + 1;
        }
    }

    Ref text_from(size_t mark) const noexcept {
        const size_t size = position();
        if (mark == size) return Ref::borrow(runtime.names.empty);
        const auto count = static_cast<Py_ssize_t>(size - mark);
        if (wide_)
            return Ref::steal(
                PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, wide_chars_.data() + mark, count));
        Ref text = Ref::steal(PyUnicode_New(count, 127));
        if (!text) return text;
        std::memcpy(PyUnicode_DATA(text.get()), ascii_.data() + mark, static_cast<size_t>(count));
        return text;
    }

    KeptBlock& kept_;  // where the member function keeps memory between renderings
    CharRun ascii_;    // the text while it is ASCII
    std::vector<Py_UCS4> wide_chars_;
    bool wide_ = false;
    CharRun separators_;  // what follows each line break: the enclosing levels' separators
};

}  // namespace plexor
