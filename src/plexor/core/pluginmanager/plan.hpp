// What a class resolves the manager's own attribute names to. Each member
// function keeps the plan of the last class it was called on, and trusts it
// while that class's version tag, which the interpreter renews on every change
// of the class or its bases, stays the same.
#pragma once

#include "compat.hpp"

#include <array>
#include <cstdint>

namespace plexor {

struct Member;

// The attributes the methods read from `self`.
enum class Attr {
    validate_arguments,
    validate_model,
    validate_platform,
    validate_os,
    validate_chassis_type,
    print_tree,
    plugins,
    supported_os,
    chassis_type_list,
    count
};
inline constexpr int kAttrCount = static_cast<int>(Attr::count);

inline constexpr uint32_t attr_bit(Attr attr) { return 1u << static_cast<int>(attr); }

struct ClassPlan {
    PyTypeObject* type = nullptr;  // compared with Py_TYPE(self), never dereferenced
    unsigned int version = 0;
    std::array<const Member*, kAttrCount> native{};  // this module's own method found there
    uint32_t defined = 0;                            // names the class or a base defines
};

}  // namespace plexor
