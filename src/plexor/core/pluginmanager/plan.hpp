// What attribute access on `self` finds on its class for the names the
// methods read: the plan of a class, and the few plans each member function
// keeps from one call to the next.
#pragma once

#include "compat.hpp"

#include <array>
#include <atomic>
#include <cstdint>

namespace plexor {

// The attributes the methods read from `self`, by the name of their interned
// text in runtime.hpp. The first six are methods of the class.
#define PLEXOR_SELF_ATTRIBUTES(X) \
    X(validate_arguments)         \
    X(validate_model)             \
    X(validate_platform)          \
    X(validate_os)                \
    X(validate_chassis_type)      \
    X(print_tree)                 \
    X(plugins)                    \
    X(supported_os)               \
    X(chassis_type_list)

enum class Attr {
#define PLEXOR_ATTR_ENUMERATOR(id) id,
    PLEXOR_SELF_ATTRIBUTES(PLEXOR_ATTR_ENUMERATOR)
#undef PLEXOR_ATTR_ENUMERATOR
        count
};
inline constexpr int kAttrCount = static_cast<int>(Attr::count);

constexpr uint32_t attr_bit(Attr attr) { return 1U << static_cast<unsigned int>(attr); }

// One state of one class, as far as the names go.
struct ClassPlan {
    uint32_t defined = 0;  // names the class or a base defines
    uint32_t native = 0;  // names under which the class holds this module's own method of that name

    bool defines(Attr attr) const noexcept { return (defined & attr_bit(attr)) != 0; }
    bool is_native(Attr attr) const noexcept { return (native & attr_bit(attr)) != 0; }
};

// The plans of the last few classes a member function served, a new one
// replacing the oldest, so that managers of several classes used in turn each
// keep theirs. Threads read and replace them without a lock: each plan is
// one word, so a reader sees a whole old plan or a whole new one.
//
// A word holds the class's version tag, a fingerprint of the class's address
// and the plan. The interpreter renews a class's tag on every change of the
// class or of its bases and does not hand a tag out twice, so a tag names one
// state of one class; the fingerprint guards against the tags that 3.8 to
// 3.11 hand out again after sys._clear_type_cache(). A plan holds nothing the
// module dereferences: a wrong one could only send a call the generic way.
class ClassPlans {
public:
    // The plan kept for `type` at tag `version` (not 0) into `plan`; false if none.
    bool find(PyTypeObject* type, unsigned int version, ClassPlan& plan) const noexcept {
        const uint64_t key = key_of(type, version);
        for (const std::atomic<uint64_t>& slot : slots_) {
            const uint64_t word = slot.load(std::memory_order_relaxed);
            if ((word & kKeyMask) == key) {
                plan.defined = static_cast<uint32_t>(word >> kDefinedShift) & kNameMask;
                plan.native = static_cast<uint32_t>(word >> kNativeShift) & kNameMask;
                return true;
            }
        }
        return false;
    }

    void keep(PyTypeObject* type, unsigned int version, const ClassPlan& plan) noexcept {
        const uint64_t word = key_of(type, version) |
                              (uint64_t{plan.defined & kNameMask} << kDefinedShift) |
                              (uint64_t{plan.native & kNameMask} << kNativeShift);
        const unsigned int slot = next_.fetch_add(1, std::memory_order_relaxed) % kCapacity;
        slots_[slot].store(word, std::memory_order_relaxed);
    }

private:
    static constexpr unsigned int kCapacity = 4;
    static constexpr auto kNames = static_cast<unsigned int>(kAttrCount);
    static constexpr unsigned int kFingerprintBits = 64U - 32U - (2U * kNames);
    static constexpr unsigned int kDefinedShift = 32U + kFingerprintBits;
    static constexpr unsigned int kNativeShift = kDefinedShift + kNames;
    static constexpr uint32_t kNameMask = (1U << kNames) - 1U;
    static constexpr uint64_t kKeyMask = (uint64_t{1} << kDefinedShift) - 1U;
    static_assert(kFingerprintBits >= 8U, "too many names for one word");

    // Tag in the low half, fingerprint above it; 0 only for an empty slot's
    // key, which no valid tag gives.
    static uint64_t key_of(PyTypeObject* type, unsigned int version) noexcept {
        const uint64_t mixed = (reinterpret_cast<uintptr_t>(type) >> 4U) * 0x9E3779B97F4A7C15ULL;
        return uint64_t{version} | ((mixed >> (64U - kFingerprintBits)) << 32U);
    }

    std::array<std::atomic<uint64_t>, kCapacity> slots_{};
    std::atomic<unsigned int> next_{0};
};

}  // namespace plexor
