// What attribute access on a manager finds for the names the methods read.
// Each member function keeps what it saw last: what the class resolves the
// names to, trusted while the class's version tag (renewed by the interpreter
// on every change of the class or its bases) is the same, and the entries of
// the last instance dictionary, trusted while that dictionary is the instance's
// and its change number (compat::dict_changes) is the same.
#pragma once

#include "compat.hpp"

#include <array>
#include <cstdint>

namespace plexor {

struct Member;

// The attributes the methods read from `self`, one row each: the enumerator,
// the interned name it is looked up by (runtime.hpp), and for a method the
// module's own member of that name (members.hpp), else nullptr.
#define PLEXOR_SELF_ATTRIBUTES(X)                                                    \
    X(validate_arguments, validate_arguments, &members::validate_arguments)          \
    X(validate_model, validate_model, &members::validate_model)                      \
    X(validate_platform, validate_platform, &members::validate_platform)             \
    X(validate_os, validate_os, &members::validate_os)                               \
    X(validate_chassis_type, validate_chassis_type, &members::validate_chassis_type) \
    X(print_tree, print_tree, &members::print_tree)                                  \
    X(plugins, plugins_attr, nullptr)                                                \
    X(supported_os, supported_os, nullptr)                                           \
    X(chassis_type_list, chassis_type_list, nullptr)

enum class Attr {
#define PLEXOR_ATTR_ENUMERATOR(id, name, member) id,
    PLEXOR_SELF_ATTRIBUTES(PLEXOR_ATTR_ENUMERATOR)
#undef PLEXOR_ATTR_ENUMERATOR
        count
};
inline constexpr int kAttrCount = static_cast<int>(Attr::count);

constexpr uint32_t attr_bit(Attr attr) { return 1U << static_cast<unsigned int>(attr); }

struct AttributeCache {
    // The class.
    PyTypeObject* type = nullptr;  // compared with Py_TYPE(self), never dereferenced
    unsigned int version = 0;
    std::array<const Member*, kAttrCount> native{};  // this module's own method found there
    uint32_t defined = 0;                            // names the class or a base defines

    // The instance dictionary. `own` borrows from `dict`, which is safe only
    // while its change number is `dict_changes`: any change of the dictionary,
    // freeing it included, renews that number first.
    PyObject* dict = nullptr;   // compared with self's dictionary before any other use
    uint64_t dict_changes = 0;  // 0: nothing known
    std::array<PyObject*, kAttrCount> own{};  // its values for the names, borrowed
};

}  // namespace plexor
