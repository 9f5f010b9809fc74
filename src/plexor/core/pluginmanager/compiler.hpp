// What differs between the compilers the module is built with.
#pragma once

// Keeps a rarely taken path out of the function that calls it, so that the
// common path stays small enough to be inlined.
#if defined(__GNUC__) || defined(__clang__)
#define PLEXOR_NOINLINE __attribute__((noinline))
#else
#define PLEXOR_NOINLINE
#endif

namespace plexor {

// Asks the processor to start loading the memory at `address`; a hint only.
inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

}  // namespace plexor
