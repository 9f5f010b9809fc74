// Blocks of bytes from the interpreter's raw allocator, and the block a
// member function keeps from one call to the next.
#pragma once

#include "compat.hpp"

#include <utility>

namespace plexor {

// A block of bytes owned by one holder at a time.
class ByteBlock {
public:
    ByteBlock() noexcept = default;
    ByteBlock(const ByteBlock&) = delete;
    ByteBlock& operator=(const ByteBlock&) = delete;
    ByteBlock(ByteBlock&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ByteBlock& operator=(ByteBlock&& other) noexcept {
        if (this != &other) {
            PyMem_RawFree(data_);
            data_ = std::exchange(other.data_, nullptr);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~ByteBlock() { PyMem_RawFree(data_); }

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

// The memory a member function's body used last, kept for its next call: a
// call that writes as much again then writes to pages the process holds,
// instead of pages it maps anew and returns when the memory is freed. Only
// the first MiB is kept, which is most of what keeping saves.
class KeptBlock {
public:
    static constexpr Py_ssize_t kMaxCapacity = Py_ssize_t{1024} * 1024;

    // The kept block, for one call to use; nothing is kept meanwhile.
    ByteBlock take() noexcept { return std::move(block_); }

    // Keeps up to kMaxCapacity bytes of a block a call is done with. A call
    // that ran inside that one, and gave its block back first, keeps its own.
    void give_back(ByteBlock block) noexcept {
        if (block_.data() != nullptr) return;
        block_ = std::move(block);
        block_.shrink(kMaxCapacity);
    }

private:
    ByteBlock block_;
};

}  // namespace plexor
