// Blocks of bytes from the interpreter's raw allocator, and the block a
// member function keeps from one call to the next.
#pragma once

#include "compat.hpp"

#include <atomic>
#include <cstring>
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

    // Takes over `capacity` bytes at `data`, from PyMem_RawMalloc.
    static ByteBlock adopt(char* data, Py_ssize_t capacity) noexcept {
        ByteBlock block;
        block.data_ = data;
        block.capacity_ = capacity;
        return block;
    }
    // Hands the bytes to the caller, who frees them with PyMem_RawFree.
    char* release() noexcept {
        capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

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
//
// Threads take and give back the block without a lock: whoever takes it owns
// it alone until giving it back, and a call that finds none (another thread's
// call holds it) starts with none. A kept block notes its own capacity in
// its first bytes, so that the pointer is all there is to exchange.
class KeptBlock {
public:
    static constexpr Py_ssize_t kMaxCapacity = Py_ssize_t{1024} * 1024;

    KeptBlock() noexcept = default;
    KeptBlock(const KeptBlock&) = delete;
    KeptBlock& operator=(const KeptBlock&) = delete;
    ~KeptBlock() { PyMem_RawFree(kept_.load(std::memory_order_acquire)); }

    // The kept block, for one call to use; nothing is kept meanwhile.
    ByteBlock take() noexcept {
        char* data = kept_.exchange(nullptr, std::memory_order_acquire);
        if (data == nullptr) return ByteBlock();
        Py_ssize_t capacity = 0;
        std::memcpy(&capacity, data, sizeof capacity);
        return ByteBlock::adopt(data, capacity);
    }

    // Keeps up to kMaxCapacity bytes of a block a call is done with, unless
    // a block is kept already (a call that ran inside this one, or on another
    // thread, gave its own back first).
    void give_back(ByteBlock block) noexcept {
        block.shrink(kMaxCapacity);
        const Py_ssize_t capacity = block.capacity();
        if (capacity < static_cast<Py_ssize_t>(sizeof capacity)) return;
        std::memcpy(block.data(), &capacity, sizeof capacity);
        char* expected = nullptr;
        if (kept_.compare_exchange_strong(expected, block.data(), std::memory_order_release,
                                          std::memory_order_relaxed))
            block.release();
    }

private:
    std::atomic<char*> kept_{nullptr};
};

}  // namespace plexor
