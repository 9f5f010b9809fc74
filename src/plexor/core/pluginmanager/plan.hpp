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
    PyObject* dict = nullptr;  // compared with self's dictionary before any other use
    uint64_t dict_changes = 0;  // 0: nothing known
    std::array<PyObject*, kAttrCount> own{};  // its values for the names, borrowed
};

}  // namespace plexor
