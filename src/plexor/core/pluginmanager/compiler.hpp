// What differs between the compilers the module is built with. It includes no
// header: Python.h must come before any system header.
#pragma once

// Keeps a rarely taken path out of the function that calls it, so that the
// common path stays small enough to be inlined.
#if defined(__GNUC__) || defined(__clang__)
#define PLEXOR_NOINLINE __attribute__((noinline))
#else
#define PLEXOR_NOINLINE
#endif

namespace plexor {

// Index of the lowest set bit of `bits`, which is not 0.
inline unsigned int lowest_bit(unsigned int bits) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<unsigned int>(__builtin_ctz(bits));
#else
    unsigned int index = 0;
    while (!(bits & 1U)) {
        bits >>= 1;
        ++index;
    }
    return index;
#endif
}

// Asks the processor to start loading the memory at `address`; a hint only.
inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

}  // namespace plexor
